#include "output/run_summary.h"

#include <cmath>
#include <cstdio>

#include "output/output_channel.h"
#include "platform/platform.h"
#include "probe/run_counters.h"

float loss_percent(uint32_t sent, uint32_t received) {
    if (sent == 0 || sent == received) return 0.0f;
    double lost = static_cast<double>(sent - received);
    return static_cast<float>(lost / static_cast<double>(sent) * 100.0);
}

int format_summary(char* out, std::size_t capacity, uint32_t sent, uint32_t received) {
    // The tenths come from the single-precision value itself. Ten times a
    // float is exact in double, so an exact half (6.25) stays a half and
    // rounds up; printf's "%.1f" would round it to even.
    double tenths_exact = static_cast<double>(loss_percent(sent, received)) * 10.0;
    auto tenths = static_cast<uint32_t>(std::floor(tenths_exact + 0.5));
    return std::snprintf(out, capacity,
                         "\nqelvor statistics\n    Packets: Sent = %u, Received = %u, "
                         "Lost = %u (%u.%u %%)\n",
                         sent, received, sent - received, tenths / 10, tenths % 10);
}

void print_summary() {
    platform::sleep_ms(10);
    uint32_t sent = run_counters.requests_sent.load(std::memory_order_relaxed);
    uint32_t received = run_counters.replies_received.load(std::memory_order_relaxed);
    platform::output_lock();
    int length =
        format_summary(output_channel.message, sizeof output_channel.message, sent, received);
    bool written = output_message(length);
    platform::output_unlock();
    if (!written) report_log_write_failure("Log file write failed.\n");
}
