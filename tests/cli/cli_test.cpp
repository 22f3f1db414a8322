// The real binary as a user runs it: command-line errors, the log file, and
// a few runs on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>

#include "qelvor_binary.h"
#include "support/privilege.h"
#include "support/usage_expected.h"

namespace qelvor::test {
namespace {

using namespace std::chrono_literals;

TEST(Cli, BadCommandLinesPrintTheUsageTextAndEndWithOne) {
    const std::vector<std::vector<std::string>> cases = {
        {}, {"-h"}, {"127.0.0.1", "-p", "1001"}, {"255.255.255.255"}, {"127.0.0.1", "-n"}};
    for (const auto& arguments : cases) {
        CommandResult result = run_command(qelvor(arguments), 10s);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.out, usage_utf8(qelvor_binary));
        EXPECT_EQ(result.err, "");
    }
}

TEST(Cli, UsageTextInCp932UnderAShiftJisLocale) {
    ScratchDir locales;
    CommandResult made = run_command(
        {"localedef", "-i", "ja_JP", "-f", "SHIFT_JIS", locales.file("ja_JP.SJIS")}, 60s);
    if (!file_exists(locales.file("ja_JP.SJIS"))) {
        GTEST_SKIP() << "no Shift_JIS locale could be made: " << made.err;
    }
    CommandResult result = run_command(
        {"env", "LOCPATH=" + locales.path, "LC_ALL=ja_JP.SJIS", qelvor_binary, "-h"}, 10s);
    EXPECT_EQ(result.exit_code, 1);
    // "コマンドの使い方" in CP932.
    EXPECT_EQ(
        result.out.rfind("\x83\x52\x83\x7D\x83\x93\x83\x68\x82\xCC\x8E\x67\x82\xA2\x95\xFB", 0),
        0u);
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 23);
}

TEST(Cli, LogOpenFailuresAreReportedOnStandardError) {
    ScratchDir dir;
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        std::string errors;
    } cases[] = {
        {"empty path", {"127.0.0.1", "-o", ""}, "Log file open failed.: Invalid argument\n"},
        {"missing directory",
         {"127.0.0.1", "-o", dir.file("missing/run.log")},
         "Log file open failed.: No such file or directory\n"},
        {"same file twice",
         {"127.0.0.1", "-o", dir.file("twice.log"), "-o", dir.file("twice.log")},
         "Log file open failed.: Permission denied\n"},
    };
    for (const Case& c : cases) {
        CommandResult result = run_command(qelvor(c.arguments), 10s);
        EXPECT_EQ(result.exit_code, 1) << c.what;
        EXPECT_EQ(result.err, c.errors) << c.what;
        EXPECT_EQ(result.out, "") << c.what;
    }
    EXPECT_EQ(read_file(dir.file("twice.log")), "");
}

TEST(Cli, AnErrorAfterTheLogOptionLeavesTheFileCreatedAndEmpty) {
    ScratchDir dir;
    CommandResult after =
        run_command(qelvor({"127.0.0.1", "-o", dir.file("after.log"), "-w", "0"}), 10s);
    EXPECT_EQ(after.exit_code, 1);
    EXPECT_TRUE(file_exists(dir.file("after.log")));
    EXPECT_EQ(read_file(dir.file("after.log")), "");

    CommandResult before =
        run_command(qelvor({"127.0.0.1", "-w", "0", "-o", dir.file("before.log")}), 10s);
    EXPECT_EQ(before.exit_code, 1);
    EXPECT_FALSE(file_exists(dir.file("before.log")));
}

TEST(Cli, ThreeRepliesOnLoopback) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    CommandResult result = run_command(on_loopback({"127.0.0.1", "-n", "3", "-p", "100"}), 20s);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(std::regex_match(
        result.out,
        std::regex("\n00:00:00\\.000 \\[1\\] reply from 127\\.0\\.0\\.1 ; rtt [01] ms\\.\n"
                   "!!\nqelvor statistics\n"
                   "    Packets: Sent = 3, Received = 3, Lost = 0 \\(0\\.0 %\\)\n")))
        << result.out;
    EXPECT_EQ(result.err, "");
}

TEST(Cli, TheLogGetsAHeaderLineAndCrLfAndASecondRunAppends) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    ScratchDir dir;
    const std::string log = dir.file("run.log");
    std::string expected;
    for (int run = 0; run < 2; ++run) {
        CommandResult result =
            run_command(on_loopback({"127.0.0.1", "-a", "-n", "2", "-p", "0", "-o", log}), 20s);
        ASSERT_EQ(result.exit_code, 0) << result.err;
        std::string console_as_stored = std::regex_replace(result.out, std::regex("\n"), "\r\n");
        expected +=
            qelvor_binary + " 127.0.0.1 -a -n 2 -p 0 -o " + log + " \r\n" + console_as_stored;
    }
    EXPECT_EQ(read_file(log), expected);
    EXPECT_NE(expected.find("[2] reply from 127.0.0.1"), std::string::npos);
}

TEST(Cli, ASecondInstanceCannotOpenAHeldLog) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    ScratchDir dir;
    const std::string log = dir.file("held.log");
    BackgroundProcess first =
        start_background(on_loopback({"127.0.0.1", "-n", "0", "-p", "100", "-o", log}),
                         dir.file("first.out"), dir.file("first.err"));
    bool held = false;
    for (int i = 0; i < 400 && !held; ++i) {
        held = held_by_another(log);
        if (!held) usleep(5000);
    }
    ASSERT_TRUE(held);
    CommandResult second = run_command(qelvor({"127.0.0.1", "-o", log}), 10s);
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_EQ(second.err, "Log file open failed.: Permission denied\n");
    EXPECT_EQ(second.out, "");
    first.stop();
}

TEST(Cli, AFullDiskEndsTheRunEarly) {
    QELVOR_REQUIRE_ROOT_OR_SKIP();
    CommandResult result = run_command(
        on_loopback({"127.0.0.1", "-a", "-p", "0", "-n", "2000", "-o", "/dev/full"}), 30s);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err.rfind("Log file write failed.\n: No space left on device\n", 0), 0u)
        << result.err;
    std::smatch sent;
    ASSERT_TRUE(std::regex_search(result.out, sent, std::regex("Sent = (\\d+),")));
    EXPECT_LT(std::stoul(sent[1]), 2000u);
    EXPECT_GT(std::stoul(sent[1]), 10u);
}

}  // namespace
}  // namespace qelvor::test
