// Standard output, standard error and the console's code page.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr UINT code_page_utf8 = 65001;
constexpr UINT code_page_japanese = 932;

char stdout_buffer[4096];
bool console_is_utf8;

// The usage text is the only converted text; its tail is under 4096 bytes
// of UTF-8, so it has fewer UTF-16 units than that, and fewer CP932 bytes.
constexpr int wide_capacity = 4096;
wchar_t wide_text[wide_capacity];
char converted[4096];

}  // namespace

void console_setup() {
    // Text mode: every "\n" reaches the console, a file or a pipe as CR LF,
    // as Windows programs write lines.
    _setmode(_fileno(stdout), _O_TEXT);
    // On a console every line and mark shows at once; into a file or pipe
    // output goes in blocks, which costs nothing per request.
    if (_isatty(_fileno(stdout))) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    } else {
        std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
    }
    console_is_utf8 = GetConsoleOutputCP() == code_page_utf8;
}

// Failed writes are ignored; a closed pipe shows as EINVAL or EPIPE from the
// runtime, and such a reader is gone for good.
bool console_write(const char* text, std::size_t length) {
    errno = 0;
    if (std::fwrite(text, 1, length, stdout) == length) return true;
    return errno != EPIPE && errno != EINVAL;
}

bool console_put(char mark) {
    errno = 0;
    if (std::fputc(mark, stdout) != EOF) return true;
    return errno != EPIPE && errno != EINVAL;
}

bool console_flush() {
    errno = 0;
    if (std::fflush(stdout) == 0) return true;
    return errno != EPIPE && errno != EINVAL;
}

namespace {

// A console takes the text as UTF-16 and shows it whatever its code page.
// Into a file or a pipe it goes in CP932 (Japanese), unless the console was
// switched to UTF-8. False when it cannot be converted.
bool write_wide(int wide_length) {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode)) {
        // After what the C runtime may still hold, so that the order stays.
        std::fflush(stdout);
        DWORD written = 0;
        WriteConsoleW(output, wide_text, static_cast<DWORD>(wide_length), &written, nullptr);
        return true;
    }
    int stored = WideCharToMultiByte(console_is_utf8 ? CP_UTF8 : code_page_japanese, 0, wide_text,
                                     wide_length, converted, sizeof converted, nullptr, nullptr);
    if (stored <= 0) return false;
    console_write(converted, static_cast<std::size_t>(stored));
    return true;
}

}  // namespace

void console_write_utf8(const char* text, std::size_t length) {
    int wide_length = 0;
    if (length > 0 && length < wide_capacity) {
        wide_length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text,
                                          static_cast<int>(length), wide_text, wide_capacity);
    }
    if (wide_length <= 0 || !write_wide(wide_length)) console_write(text, length);
}

// The program's path as the runtime got it is in the ANSI code page, which
// has lost every letter it lacks. The command line's first argument, as
// typed, is taken instead when it is that same path.
void console_write_native(const char* text, std::size_t length) {
    const wchar_t* line = GetCommandLineW();
    const wchar_t* end = nullptr;
    if (line != nullptr && *line == L'"') {
        end = std::wcschr(++line, L'"');
    } else if (line != nullptr) {
        end = line + std::wcscspn(line, L" \t");
    }
    int wide_length =
        end != nullptr && end - line < wide_capacity ? static_cast<int>(end - line) : 0;
    if (wide_length > 0) std::wmemcpy(wide_text, line, static_cast<std::size_t>(wide_length));
    int stored = WideCharToMultiByte(CP_ACP, 0, wide_text, wide_length, converted, sizeof converted,
                                     nullptr, nullptr);
    if (wide_length == 0 || static_cast<std::size_t>(stored) != length ||
        std::memcmp(converted, text, length) != 0) {
        wide_length = length > 0 && length < wide_capacity
                          ? MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length),
                                                wide_text, wide_capacity)
                          : 0;
    }
    if (wide_length <= 0 || !write_wide(wide_length)) console_write(text, length);
}

// One WriteFile on the standard error handle, so that a report is never
// split by other output. Its line ends become CR LF like standard output's.
void error_write(const char* text, std::size_t length) {
    HANDLE error_handle = GetStdHandle(STD_ERROR_HANDLE);
    if (error_handle == nullptr || error_handle == INVALID_HANDLE_VALUE) return;
    char lines[1024];
    while (length > 0) {
        std::size_t stored = 0;
        while (length > 0 && stored + 2 <= sizeof lines) {
            if (*text == '\n') lines[stored++] = '\r';
            lines[stored++] = *text++;
            --length;
        }
        DWORD written = 0;
        if (!WriteFile(error_handle, lines, static_cast<DWORD>(stored), &written, nullptr)) return;
    }
}

const char* error_text(int error_number) { return std::strerror(error_number); }

}  // namespace platform
