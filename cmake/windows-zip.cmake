# The zip for Windows users, made with "cpack -G ZIP" in the Windows build:
# qelvor-<version>-win64/ holds everything installed, side by side, and the
# texts a user reads with Notepad, with CR LF line ends: README.txt,
# LICENSE.txt and the manual pages as plain text, qelvor.txt and
# qelvor-log.txt.
set(qelvor_texts ${PROJECT_BINARY_DIR}/windows-texts)
configure_file(data/windows/README.txt ${qelvor_texts}/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(LICENSE ${qelvor_texts}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)

# Plain text: no bold or underline by overstriking, no escape sequences.
find_program(QELVOR_GROFF groff REQUIRED)
foreach(page IN ITEMS qelvor qelvor-log)
    execute_process(COMMAND ${QELVOR_GROFF} -man -Tascii -P-cbou ${PROJECT_SOURCE_DIR}/docs/${page}.1
                    OUTPUT_VARIABLE manual COMMAND_ERROR_IS_FATAL ANY)
    string(REPLACE "\n" "\r\n" manual "${manual}")
    file(WRITE ${qelvor_texts}/${page}.txt "${manual}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS docs/${page}.1)
    install(FILES ${qelvor_texts}/${page}.txt DESTINATION .)
endforeach()

install(FILES ${qelvor_texts}/README.txt ${qelvor_texts}/LICENSE.txt DESTINATION .)

set(CPACK_PACKAGE_NAME qelvor)
set(CPACK_PACKAGE_FILE_NAME qelvor-${PROJECT_VERSION}-win64)
set(CPACK_GENERATOR ZIP)
set(CPACK_STRIP_FILES ON)
include(CPack)
