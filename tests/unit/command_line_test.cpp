// The command line as a user types it: what is accepted, what ends in the
// usage text, and what -o does to the file system.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "app/run_settings.h"
#include "fake_platform.h"
#include "support/usage_expected.h"

namespace {

using fake::world;

TEST(ReadNumber, ReadsLikeA32BitStrtoul) {
    struct Case {
        const char* text;
        bool accepted;
        uint32_t value;
    } cases[] = {
        {"0", true, 0},
        {"7", true, 7},
        {" 7", true, 7},
        {"\t\n7", true, 7},
        {"+7", true, 7},
        {"007", true, 7},
        {"4294967295", true, 4294967295u},
        {"-1", true, 4294967295u},
        {"-7", true, 4294967289u},
        {"4294967296", true, 4294967295u},
        {"99999999999999999999999", true, 4294967295u},
        {"-4294967295", true, 1},
        {"-4294967296", true, 1},
        {"-99999999999999999999999", true, 1},
        {"", true, 0},
        {"7x", false, 0},
        {"x", false, 0},
        {"7 ", false, 0},
        {" ", false, 0},
        {"-", false, 0},
        {"+", false, 0},
        {"0x10", false, 0},
        {"1e3", false, 0},
        {"--1", false, 0},
    };
    for (const Case& c : cases) {
        uint32_t value = 12345;
        EXPECT_EQ(read_number(c.text, &value), c.accepted) << '"' << c.text << '"';
        if (c.accepted) {
            EXPECT_EQ(value, c.value) << '"' << c.text << '"';
        }
    }
}

std::vector<std::string> with_program(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "qelvor");
    return arguments;
}

ParseResult parse(const std::vector<std::string>& arguments) {
    std::vector<std::string> copies = with_program(arguments);
    std::vector<char*> argv;
    for (std::string& argument : copies) argv.push_back(argument.data());
    return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, AcceptedLinesSetTheSettings) {
    struct Case {
        std::vector<std::string> arguments;
        uint32_t count, period, wait;
        uint8_t limit;
        bool verbose, time_of_day;
    } cases[] = {
        {{"127.0.0.10"}, 3, 1000, 5000, 0, false, false},
        {{"-a", "-T", "127.0.0.10"}, 3, 1000, 5000, 0, true, true},
        {{"127.0.0.10", "-n", "0"}, 0, 1000, 5000, 0, false, false},
        {{"-n", "-1", "127.0.0.10"}, 4294967295u, 1000, 5000, 0, false, false},
        {{"-n", "4294967296", "127.0.0.10"}, 4294967295u, 1000, 5000, 0, false, false},
        {{"-p", "0", "-w", "1", "-Q", "10", "127.0.0.10"}, 3, 0, 1, 10, false, false},
        {{"-p", "1000", "-w", "5000", "127.0.0.10"}, 3, 1000, 5000, 0, false, false},
        // A negative value too large for 32 bits reads as 1 everywhere.
        {{"-p", "-4294967296", "-w", "-4294967296", "-Q", "-4294967296", "127.0.0.10"},
         3,
         1,
         1,
         1,
         false,
         false},
        // The empty value reads as 0 where 0 is allowed.
        {{"-n", "", "-p", "", "-Q", "", "127.0.0.10"}, 0, 0, 5000, 0, false, false},
        // 0.0.0.0 counts as no address, so the next one is taken.
        {{"0.0.0.0", "127.0.0.10"}, 3, 1000, 5000, 0, false, false},
        // Later options override earlier ones.
        {{"-n", "5", "127.0.0.10", "-n", "6"}, 6, 1000, 5000, 0, false, false},
    };
    for (const Case& c : cases) {
        fake::reset();
        std::string line;
        for (const std::string& a : c.arguments) line += a + " ";
        ASSERT_EQ(parse(c.arguments), ParseResult::accepted) << line;
        EXPECT_EQ(run_settings.target_address, 0x0A00007Fu) << line;
        EXPECT_EQ(run_settings.request_count, c.count) << line;
        EXPECT_EQ(run_settings.period_ms, c.period) << line;
        EXPECT_EQ(run_settings.wait_ms, c.wait) << line;
        EXPECT_EQ(run_settings.change_limit, c.limit) << line;
        EXPECT_EQ(run_settings.verbose, c.verbose) << line;
        EXPECT_EQ(run_settings.time_of_day, c.time_of_day) << line;
    }
}

TEST(CommandLine, RejectedLinesEndInTheUsageText) {
    const std::vector<std::vector<std::string>> cases = {
        {"127.0.0.10", "-p", "1001"},
        {"127.0.0.10", "-w", "0"},
        {"127.0.0.10", "-w", "5001"},
        {"127.0.0.10", "-w", ""},
        {"127.0.0.10", "-Q", "11"},
        {"127.0.0.10", "-n", "10x"},
        {"127.0.0.10", "-n", " "},
        {"127.0.0.10", "-n"},
        {"127.0.0.10", "-o"},
        {"127.0.0.10", "-h"},
        {"-h", "127.0.0.10"},
        {"255.255.255.255"},
        {"0.0.0.0"},
        {"-a"},
        {"127.0.0.10", "127.0.0.11"},
        {"127.0.0.10", "-A"},
        {"127.0.0.10", "--a"},
        {"localhost"},
        {"127.0.0.10", "-n", "-n"},
    };
    for (const std::vector<std::string>& arguments : cases) {
        fake::reset();
        std::string line;
        for (const std::string& a : arguments) line += a + " ";
        EXPECT_EQ(parse(arguments), ParseResult::usage) << line;
        // And the whole program prints the usage text and ends with 1.
        fake::reset();
        EXPECT_EQ(fake::run(with_program(arguments)), 1) << line;
        EXPECT_EQ(world.console.rfind("コマンドの使い方", 0), 0u) << line;
        EXPECT_TRUE(world.sent.empty()) << line;
        EXPECT_EQ(world.library_started, 0) << line;
    }
}

TEST(CommandLine, ArgumentCountFromTwoToFifteen) {
    fake::reset();
    EXPECT_EQ(fake::run({"qelvor"}), 1);
    EXPECT_EQ(world.console.rfind("コマンドの使い方", 0), 0u);

    std::vector<std::string> fourteen = {"qelvor", "127.0.0.10"};
    for (int i = 0; i < 6; ++i) fourteen.insert(fourteen.end(), {"-n", "1"});
    fourteen.push_back("-a");
    ASSERT_EQ(fourteen.size(), 15u);
    fake::reset();
    EXPECT_EQ(fake::run(fourteen), 0);
    EXPECT_EQ(world.sent.size(), 1u);

    fourteen.push_back("-T");
    fake::reset();
    EXPECT_EQ(fake::run(fourteen), 1);
    EXPECT_TRUE(world.sent.empty());
}

TEST(UsageText, Utf8WithTheProgramPathAsTyped) {
    fake::reset();
    EXPECT_EQ(fake::run({"./bin/qelvor", "-h"}), 1);
    EXPECT_EQ(world.console, qelvor::test::usage_utf8("./bin/qelvor"));
    EXPECT_EQ(world.errors, "");
}

TEST(UsageText, Cp932ForAJapaneseConsole) {
    fake::reset();
    world.console_cp932 = true;
    EXPECT_EQ(fake::run({"qelvor"}), 1);
    const std::string& text = world.console;
    // "コマンド" in CP932, then the rest; the full-width colon of line 6 and
    // the ASCII line ends come through.
    EXPECT_EQ(text.substr(0, 8), "\x83\x52\x83\x7D\x83\x93\x83\x68");
    EXPECT_NE(text.find("\x8A\xF9\x92\xE8\x90\xDD\x92\xE8\x81\x46"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 23);
    EXPECT_EQ(text.find("\xE3"), std::string::npos);  // no UTF-8 lead bytes left
    EXPECT_NE(text.find(" qelvor <ipaddress> [-a]"), std::string::npos);
}

TEST(LogOption, FailuresToOpenAreReportedWithTheCLibraryText) {
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        std::string errors;
    } cases[] = {
        {"empty path", {"127.0.0.10", "-o", ""}, "Log file open failed.: Invalid argument\n"},
        {"same file twice",
         {"127.0.0.10", "-o", "run.log", "-o", "run.log"},
         "Log file open failed.: Permission denied\n"},
        {"missing directory",
         {"127.0.0.10", "-o", "missing/run.log"},
         "Log file open failed.: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        fake::reset();
        world.open_errors["missing/run.log"] = ENOENT;
        std::vector<std::string> arguments = with_program(c.arguments);
        arguments.push_back("-h");  // never read: parsing stopped at the failure
        EXPECT_EQ(fake::run(arguments), 1) << c.what;
        EXPECT_EQ(world.errors, c.errors) << c.what;
        EXPECT_EQ(world.console, "") << c.what;
    }
}

TEST(LogOption, OpensAtOnceAndStaysEmptyOnALaterError) {
    fake::reset();
    EXPECT_EQ(fake::run({"qelvor", "127.0.0.10", "-o", "run.log", "-p", "2000"}), 1);
    ASSERT_EQ(world.files.count("run.log"), 1u);
    EXPECT_EQ(world.files["run.log"], "");

    fake::reset();
    EXPECT_EQ(fake::run({"qelvor", "127.0.0.10", "-p", "2000", "-o", "run.log"}), 1);
    EXPECT_EQ(world.files.count("run.log"), 0u);
}

TEST(LogOption, APathOf128BytesOrMoreIsAUsageError) {
    const std::string longest(127, 'a');
    fake::reset();
    EXPECT_EQ(parse({"127.0.0.10", "-o", longest}), ParseResult::accepted);
    EXPECT_EQ(world.files.count(longest), 1u);

    fake::reset();
    EXPECT_EQ(parse({"127.0.0.10", "-o", longest + "a"}), ParseResult::usage);
    EXPECT_TRUE(world.files.empty());
}

TEST(LogOption, ALaterLogTakesOverAndTheEarlierStaysHeldAndEmpty) {
    fake::reset();
    world.default_answer = fake::Answer{fake::Answer::reply, 1, 0};
    EXPECT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "1", "-o", "a.log", "-o", "b.log"}), 0);
    EXPECT_EQ(world.files["a.log"], "");
    EXPECT_EQ(fake::log_text("b.log").rfind("qelvor 127.0.0.10 -n 1 -o a.log -o b.log \n", 0), 0u);
    EXPECT_EQ(world.closed, std::vector<std::string>{"b.log"});
}

TEST(StartUp, FailuresAfterTheCommandLine) {
    fake::reset();
    world.interrupt_install_fails = true;
    EXPECT_EQ(fake::run({"qelvor", "127.0.0.10", "-o", "run.log"}), 1);
    EXPECT_EQ(world.errors, "signal failed.: Invalid argument\n");
    EXPECT_EQ(world.closed, std::vector<std::string>{"run.log"});
    EXPECT_EQ(world.library_started, 0);

    fake::reset();
    world.startup_error = 10091;
    EXPECT_EQ(fake::run({"qelvor", "127.0.0.10", "-o", "run.log"}), 1);
    EXPECT_EQ(world.console, "WSAStartup failed: 10091\n");
    EXPECT_EQ(world.files["run.log"], "");
    EXPECT_EQ(world.closed, std::vector<std::string>{"run.log"});
    EXPECT_EQ(world.timer_begun, 0);
}

TEST(StartUp, ServicesComeUpAndGoDownInOrder) {
    fake::reset();
    world.default_answer = fake::Answer{fake::Answer::reply, 1, 0};
    EXPECT_EQ(fake::run({"qelvor", "127.0.0.10", "-n", "1"}), 0);
    EXPECT_EQ(world.library_started, 1);
    EXPECT_EQ(world.library_stopped, 1);
    EXPECT_EQ(world.timer_begun, 1);
    EXPECT_EQ(world.timer_ended, 1);
    // Settling 16 ms twice, the period slept out, the summary's 10 ms.
    EXPECT_EQ(world.sleeps, (std::vector<uint32_t>{16, 16, 999, 10}));
}

}  // namespace
