// Any bytes are read without a fault, and read alike whatever chunks they
// come in: the first byte picks the chunk size, the rest is the log.
#include <cstdlib>
#include <string>

#include "log_reader/log_scanner.h"

namespace {

// Everything the reader tells, as text, with the invariants of what it tells.
struct Record : qlog::RunSink {
    std::string text;
    bool each = false;
    bool wants_each_request() const override { return each; }
    void add(uint64_t a, int64_t b) { text += std::to_string(a) + ',' + std::to_string(b) + ';'; }
    int64_t last_ms = 0;
    void run_begins(const qlog::Run& run) override {
        add(run.number, 0);
        last_ms = 0;
    }
    void request(const qlog::Run&, uint64_t request, int64_t time_ms, qlog::Outcome,
                 std::optional<uint32_t>) override {
        if (time_ms < last_ms) std::abort();  // time never goes back within a run
        last_ms = time_ms;
        if (each) add(request, time_ms);  // otherwise repeated marks come in bulk
    }
    void outage(const qlog::Run&, const qlog::Outage& outage) override {
        if (outage.first_request > outage.last_request + 1 ||
            (outage.end_ms && *outage.end_ms < outage.start_ms)) {
            std::abort();
        }
        add(outage.first_request, outage.start_ms);
    }
    void run_ends(const qlog::Run& run) override {
        add(run.sent(), run.lasted_ms());
        text += qlog::ending_name(run.ending);
    }
};

std::string read(const uint8_t* data, std::size_t size, std::size_t chunk, bool each,
                 uint64_t* messages) {
    Record record;
    record.each = each;
    qlog::LogScanner scanner(record, nullptr);
    for (std::size_t at = 0; at < size; at += chunk) {
        scanner.feed(reinterpret_cast<const char*>(data) + at, std::min(chunk, size - at));
    }
    scanner.end_of_file();
    scanner.finish();
    *messages = scanner.complaints();
    return record.text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t chunk = data[0] % 16 + 1;
    uint64_t whole_messages = 0, chunked_messages = 0, bulk_messages = 0;
    std::string whole = read(data + 1, size - 1, size, true, &whole_messages);
    std::string chunked = read(data + 1, size - 1, chunk, true, &chunked_messages);
    read(data + 1, size - 1, chunk, false, &bulk_messages);
    if (whole != chunked || whole_messages != chunked_messages || whole_messages != bulk_messages) {
        std::abort();
    }
    return 0;
}
