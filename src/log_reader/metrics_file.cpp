// The metrics file in the Prometheus text format, replaced whole.
#include "log_reader/metrics_file.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace qlog {

std::string write_metrics(const std::string& path,
                          const std::map<std::string, HostFigures>& hosts) {
    struct Metric {
        const char* name;
        const char* type;
        const char* help;
    };
    static const Metric metrics[] = {
        {"qelvor_up", "gauge", "Whether the host answered the last request (1) or not (0)."},
        {"qelvor_requests_total", "counter", "Echo requests sent, as read from the log."},
        {"qelvor_replies_total", "counter", "Echo replies received, as read from the log."},
        {"qelvor_outages_total", "counter", "Outages begun: runs of requests without a reply."},
        {"qelvor_down_seconds_total", "counter", "Time spent in outages, on the runs' clocks."},
        {"qelvor_last_change_timestamp_seconds", "gauge",
         "When the last change of outcome was read, in seconds since the epoch."},
    };
    std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) return std::generic_category().message(errno);
    for (int m = 0; m < 6; ++m) {
        std::fprintf(file, "# HELP %s %s\n# TYPE %s %s\n", metrics[m].name, metrics[m].help,
                     metrics[m].name, metrics[m].type);
        for (const auto& [host, figures] : hosts) {
            std::fprintf(file, "%s{host=\"%s\"} ", metrics[m].name, host.c_str());
            switch (m) {
                case 0:
                    std::fprintf(file, "%d\n", figures.up.value_or(false) ? 1 : 0);
                    break;
                case 1:
                case 2:
                case 3:
                    std::fprintf(file, "%llu\n",
                                 static_cast<unsigned long long>(m == 1   ? figures.requests
                                                                 : m == 2 ? figures.replies
                                                                          : figures.outages));
                    break;
                case 4:
                    std::fprintf(file, "%lld.%03lld\n",
                                 static_cast<long long>(figures.down_ms / 1000),
                                 static_cast<long long>(figures.down_ms % 1000));
                    break;
                default:
                    std::fprintf(file, "%.3f\n", figures.last_change_s);
            }
        }
    }
    bool written = std::ferror(file) == 0;
    written = std::fclose(file) == 0 && written;
    std::string why = written ? "" : std::generic_category().message(errno);
    std::error_code error;
    if (written) std::filesystem::rename(temporary, path, error);
    if (error) why = error.message();
    if (!why.empty()) std::remove(temporary.c_str());
    return why;
}

}  // namespace qlog
