// The summary, in the record's words and with its rounding of the loss.
#include "output/run_summary.h"

#include "output/output_channel.h"
#include "platform/platform.h"
#include "record/line_text.h"
#include "record/loss.h"

namespace qelvor {

void print_summary(uint64_t sent, uint64_t received) {
    using ull = unsigned long long;
    platform::sleep_ms(10);
    uint64_t tenths = record::loss_tenths(sent, received);
    bool written = output_line(record::summary_rows.c_str(), static_cast<ull>(sent),
                               static_cast<ull>(received), static_cast<ull>(sent - received),
                               static_cast<ull>(tenths / 10), static_cast<unsigned>(tenths % 10));
    if (!written) report_log_write_failure("Log file write failed.\n");
}

}  // namespace qelvor
