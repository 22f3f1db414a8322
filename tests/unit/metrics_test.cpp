// The follower's metrics file: which samples it holds, and their labels.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "log_reader/metrics_file.h"

namespace {

// The sample lines (no HELP or TYPE) of one metric.
std::string samples(const std::string& text, const std::string& metric) {
    std::istringstream lines(text);
    std::string line, found;
    while (std::getline(lines, line))
        if (line.rfind(metric + "{", 0) == 0) found += line + "\n";
    return found;
}

TEST(Metrics, LabelsSamplesAndUnits) {
    qlog::HostFigures a;
    a.host = "192.0.2.1", a.log = "/l/a.log", a.up = true, a.running = true;
    a.requests = 10, a.replies = 9, a.outages = 1, a.down_ms = 1234;
    qlog::HostFigures b = a;
    b.log = "/l/\"b\\\n.log";
    b.up = false;
    b.rtt_ms = 5;
    qlog::HostFigures c;  // nothing known yet but the last change
    c.host = "192.0.2.2", c.log = "/l/c.log";
    c.last_change_s = 1796672128.72;
    std::string text = qlog::metrics_text({a, b, c});
    struct Row {
        const char* metric;
        const char* expected;
    } rows[] = {
        {"qelvor_up",
         "qelvor_up{host=\"192.0.2.1\",log=\"/l/a.log\"} 1\n"
         "qelvor_up{host=\"192.0.2.1\",log=\"/l/\\\"b\\\\\\n.log\"} 0\n"},
        {"qelvor_running",
         "qelvor_running{host=\"192.0.2.1\",log=\"/l/a.log\"} 1\n"
         "qelvor_running{host=\"192.0.2.1\",log=\"/l/\\\"b\\\\\\n.log\"} 1\n"
         "qelvor_running{host=\"192.0.2.2\"} 0\n"},
        {"qelvor_down_seconds_total",
         "qelvor_down_seconds_total{host=\"192.0.2.1\",log=\"/l/a.log\"} "
         "1.234\nqelvor_down_seconds_total{host=\"192.0.2.1\",log=\"/l/"
         "\\\"b\\\\\\n.log\"} 1.234\nqelvor_down_seconds_total{host="
         "\"192.0.2.2\"} 0.000\n"},
        {"qelvor_rtt_seconds",
         "qelvor_rtt_seconds{host=\"192.0.2.1\",log=\"/l/\\\"b\\\\\\n.log\"} 0.005\n"},
        {"qelvor_last_change_timestamp_seconds",
         "qelvor_last_change_timestamp_seconds{host=\"192.0.2.2\"} 1796672128.720\n"},
        {"qelvor_last_reply_timestamp_seconds", ""},
    };
    for (const Row& row : rows) EXPECT_EQ(samples(text, row.metric), row.expected) << row.metric;
    // A metric with no sample has no HELP or TYPE either.
    EXPECT_EQ(text.find("qelvor_last_reply_timestamp_seconds"), std::string::npos);
    EXPECT_NE(text.find("# TYPE qelvor_requests_total counter\n"), std::string::npos);
}

}  // namespace
