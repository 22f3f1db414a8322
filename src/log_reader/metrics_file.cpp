// The metrics file in the Prometheus text format, replaced whole.
#include "log_reader/metrics_file.h"

#include <cinttypes>
#include <cstdio>
#include <map>

namespace qlog {

namespace {

// A label value with \, " and line ends escaped.
std::string label(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '\\' || c == '"') escaped.push_back('\\');
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return escaped;
}

std::string number(const char* format, auto value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string metrics_text(const std::vector<HostFigures>& series) {
    struct Metric {
        const char* name;
        const char* type;
        const char* help;
        // The sample's value, none when not known.
        std::optional<std::string> (*value)(const HostFigures&);
    };
    static const Metric metrics[] = {
        {"qelvor_up", "gauge", "Whether the host answered the last request (1) or not (0).",
         [](const HostFigures& f) -> std::optional<std::string> {
             if (!f.up) return std::nullopt;
             return *f.up ? "1" : "0";
         }},
        {"qelvor_running", "gauge",
         "Whether a qelvor holds the log open for writing (1) or its run has ended (0).",
         [](const HostFigures& f) -> std::optional<std::string> { return f.running ? "1" : "0"; }},
        {"qelvor_requests_total", "counter",
         "Echo requests sent, as read from the log since the follower started.",
         [](const HostFigures& f) -> std::optional<std::string> {
             return number("%" PRIu64, f.requests);
         }},
        {"qelvor_replies_total", "counter",
         "Echo replies received, as read from the log since the follower started.",
         [](const HostFigures& f) -> std::optional<std::string> {
             return number("%" PRIu64, f.replies);
         }},
        {"qelvor_outages_total", "counter",
         "Outages begun since the follower started: runs of requests without a reply.",
         [](const HostFigures& f) -> std::optional<std::string> {
             return number("%" PRIu64, f.outages);
         }},
        {"qelvor_down_seconds_total", "counter",
         "Time spent in outages since the follower started, on the runs' clocks.",
         [](const HostFigures& f) -> std::optional<std::string> {
             return number("%.3f", static_cast<double>(f.down_ms) / 1000);
         }},
        {"qelvor_last_change_timestamp_seconds", "gauge",
         "When the last change of outcome came, in seconds since the epoch.",
         [](const HostFigures& f) -> std::optional<std::string> {
             if (!f.last_change_s) return std::nullopt;
             return number("%.3f", *f.last_change_s);
         }},
        {"qelvor_last_reply_timestamp_seconds", "gauge",
         "When the last reply came, in seconds since the epoch.",
         [](const HostFigures& f) -> std::optional<std::string> {
             if (!f.last_reply_s) return std::nullopt;
             return number("%.3f", *f.last_reply_s);
         }},
        {"qelvor_rtt_seconds", "gauge", "The last round-trip time that the log states.",
         [](const HostFigures& f) -> std::optional<std::string> {
             if (!f.rtt_ms) return std::nullopt;
             return number("%.3f", static_cast<double>(*f.rtt_ms) / 1000);
         }},
    };
    std::map<std::string, int> logs_per_host;
    for (const HostFigures& figures : series) ++logs_per_host[figures.host];
    std::string text;
    for (const Metric& metric : metrics) {
        std::string samples;
        for (const HostFigures& figures : series) {
            std::optional<std::string> value = metric.value(figures);
            if (!value) continue;
            samples += std::string(metric.name) + "{host=\"" + label(figures.host) + "\"";
            if (logs_per_host[figures.host] > 1) samples += ",log=\"" + label(figures.log) + "\"";
            samples += "} " + *value + "\n";
        }
        if (samples.empty()) continue;
        text += std::string("# HELP ") + metric.name + " " + metric.help + "\n# TYPE " +
                metric.name + " " + metric.type + "\n" + samples;
    }
    return text;
}

}  // namespace qlog
