#include "output/run_summary.h"

#include "output/output_channel.h"
#include "platform/platform.h"

uint32_t loss_tenths(uint32_t sent, uint32_t received) {
    if (sent == 0) return 0;
    // lost / sent * 1000, rounded half up: in integers, so that an exact half
    // (16 sent, 15 received: 62.5 tenths) is a half and rounds up.
    uint64_t lost = sent - received;
    return static_cast<uint32_t>((lost * 2000 + sent) / (uint64_t{2} * sent));
}

void print_summary(uint32_t sent, uint32_t received) {
    platform::sleep_ms(10);
    uint32_t tenths = loss_tenths(sent, received);
    bool written = output_line(
        "\nqelvor statistics\n    Packets: Sent = %u, Received = %u, Lost = %u (%u.%u %%)\n", sent,
        received, sent - received, tenths / 10, tenths % 10);
    if (!written) report_log_write_failure("Log file write failed.\n");
}
