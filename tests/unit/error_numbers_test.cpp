// The socket error numbers as printed on Linux: every errno the backend
// translates, and nothing else, is listed with its number in the README
// and in the manual page.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <string>

#include "platform/posix/icmp_socket.h"

namespace {

std::string read(const char* name) {
    std::ifstream file(std::string(QELVOR_SOURCE_DIR) + "/" + name);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

long matches(const std::string& text, const char* pattern) {
    std::regex regex(pattern);
    return std::distance(std::sregex_iterator(text.begin(), text.end(), regex), {});
}

TEST(ErrorNumbers, DocumentedAsTranslated) {
    std::string readme = read("README.md"), manual = read("docs/qelvor.1");
    for (const platform::SocketErrorName& known : platform::socket_errors) {
        std::string name = strerrorname_np(known.errno_value),
                    printed = std::to_string(known.printed);
        EXPECT_EQ(platform::socket_error_from_errno(known.errno_value), known.printed);
        EXPECT_TRUE(std::regex_search(readme, std::regex("`" + name + "`[^|\n]*\\| " + printed)));
        EXPECT_TRUE(
            std::regex_search(manual, std::regex("TP 8\n" + printed + "\n[A-Z, ]*" + name)));
    }
    EXPECT_EQ(platform::socket_error_from_errno(EIO), EIO);
    EXPECT_EQ(matches(readme, "`E[A-Z]+`"), 15);
    EXPECT_EQ(matches(manual, "\n(E[A-Z]+(, )?)+\n"), 14);
}

}  // namespace
