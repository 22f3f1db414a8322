#include "output/run_summary.h"

#include <cmath>

#include "output/output_channel.h"
#include "platform/platform.h"

float loss_percent(uint32_t sent, uint32_t received) {
    if (sent == 0 || sent == received) return 0.0f;
    double lost = static_cast<double>(sent - received);
    return static_cast<float>(lost / static_cast<double>(sent) * 100.0);
}

uint32_t loss_tenths(uint32_t sent, uint32_t received) {
    // Ten times a float is exact in double, so an exact half (6.25) stays a
    // half and rounds up; printf's "%.1f" would round it to even.
    double tenths_exact = static_cast<double>(loss_percent(sent, received)) * 10.0;
    return static_cast<uint32_t>(std::floor(tenths_exact + 0.5));
}

void print_summary(uint32_t sent, uint32_t received) {
    platform::sleep_ms(10);
    uint32_t tenths = loss_tenths(sent, received);
    bool written = output_line(
        "\nqelvor statistics\n    Packets: Sent = %u, Received = %u, Lost = %u (%u.%u %%)\n", sent,
        received, sent - received, tenths / 10, tenths % 10);
    if (!written) report_log_write_failure("Log file write failed.\n");
}
