// The socket error numbers as printed on Linux: every errno the backend
// translates, and nothing else, is listed with its number in the README
// and in the manual page.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "platform/posix/icmp_socket.h"

namespace {

using Table = std::map<std::string, int>;

std::string read(const char* name) {
    std::ifstream file(std::string(QELVOR_SOURCE_DIR) + "/" + name);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// Names followed by their number: "`EACCES`, `EPERM` | 10013" in the README,
// "10013\nEACCES, EPERM" after ".TP 8" in the manual page.
Table listed(const std::string& text, const std::regex& row, int names, int number) {
    Table table;
    for (std::sregex_iterator it(text.begin(), text.end(), row), end; it != end; ++it) {
        std::string cell = (*it)[names];
        static const std::regex name_pattern("E[A-Z]+");
        for (std::sregex_iterator name(cell.begin(), cell.end(), name_pattern); name != end;
             ++name) {
            table[name->str()] = std::stoi((*it)[number]);
        }
    }
    return table;
}

TEST(ErrorNumbers, DocumentedAsTranslated) {
    Table translated;
    for (const platform::SocketErrorName& known : platform::socket_errors) {
        translated[strerrorname_np(known.errno_value)] = known.printed;
        EXPECT_EQ(platform::socket_error_from_errno(known.errno_value), known.printed);
    }
    EXPECT_EQ(platform::socket_error_from_errno(EIO), EIO);
    const std::regex readme_row("\\| ((?:`E[A-Z]+`(?:, )?)+) \\| (\\d+)");
    const std::regex manual_entry("\\.TP 8\\n(\\d+)\\n(E[A-Z, ]+)\\n");
    EXPECT_EQ(listed(read("README.md"), readme_row, 1, 2), translated);
    EXPECT_EQ(listed(read("docs/qelvor.1"), manual_entry, 2, 1), translated);
}

}  // namespace
