// The picture of the runs, drawn band by band as they end.
#include "log_reader/svg_timeline.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "log_reader/os.h"
#include "log_reader/report_text.h"
#include "record/stamp.h"

namespace qlog {

namespace {

constexpr int width = 1000, left = 40, plot_width = 920;
constexpr int top = 48, band_height = 126;
constexpr std::size_t max_kept = 4096;  // spans or samples a band keeps
constexpr const char* up_colour = "#2ca02c";
constexpr const char* down_colour = "#d62728";
constexpr const char* rtt_colour = "#1f77b4";
// Room kept after the root element's attributes for its final height.
constexpr int root_room = 64;

// Text for XML: escaped, and with bytes that are not UTF-8 as '?'.
std::string xml_text(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80         ? 1
                             : (c >> 5) == 6  ? 2
                             : (c >> 4) == 14 ? 3
                             : (c >> 3) == 30 ? 4
                                              : 0;
        bool whole = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; whole && k < length; ++k) {
            whole = (static_cast<unsigned char>(text[i + k]) >> 6) == 2;
        }
        if (!whole || (c < 0x20 && c != '\t')) {
            out += '?';
            continue;
        }
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else
            out.append(text.substr(i, length));
        i += length - 1;
    }
    return out;
}

// The axis step: the first of these that gives at most eight ticks.
constexpr auto day_ms = static_cast<int64_t>(record::day_ms);

int64_t tick_step(int64_t span_ms) {
    static const int64_t steps[] = {1,       2,       5,        10,       20,       50,     100,
                                    200,     500,     1000,     2000,     5000,     10000,  15000,
                                    30000,   60000,   120000,   300000,   600000,   900000, 1800000,
                                    3600000, 7200000, 10800000, 21600000, 43200000, day_ms};
    for (int64_t step : steps) {
        if (span_ms / step <= 8) return step;
    }
    int64_t days = day_ms;
    while (span_ms / days > 8) days *= 2;
    return days;
}

}  // namespace

SvgTimeline::~SvgTimeline() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    std::remove(written_.c_str());
}

bool SvgTimeline::open(const std::string& path) {
    path_ = path;
    for (int attempt = 0; file_ == nullptr && attempt < 100; ++attempt) {
        written_ = path + ".new" + std::to_string(attempt);
        file_ = os::create_new(written_);
        if (file_ == nullptr && errno != EEXIST) return false;
    }
    if (file_ == nullptr) return false;
    std::fprintf(file_,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg "
                 "xmlns=\"http://www.w3.org/2000/svg\"%*s>\n",
                 root_room, "");
    std::fprintf(
        file_,
        "<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n"
        "<g font-family=\"sans-serif\" font-size=\"12\" fill=\"#333333\">\n"
        "<text x=\"%d\" y=\"22\" font-size=\"15\" font-weight=\"bold\">qelvor runs</text>\n"
        "<rect x=\"%d\" y=\"10\" width=\"14\" height=\"14\" fill=\"%s\"/><text x=\"%d\" "
        "y=\"22\">up</text>\n"
        "<rect x=\"%d\" y=\"10\" width=\"14\" height=\"14\" fill=\"%s\"/><text x=\"%d\" "
        "y=\"22\">down</text>\n"
        "<line x1=\"%d\" y1=\"17\" x2=\"%d\" y2=\"17\" stroke=\"%s\" stroke-width=\"2\"/><text "
        "x=\"%d\" y=\"22\">round trip (verbose runs)</text>\n",
        left, 640, up_colour, 658, 700, down_colour, 718, 780, 800, rtt_colour, 806);
    return true;
}

void SvgTimeline::run_begins(const Run&) {
    down_.clear();
    merge_gap_ms_ = 0;
    rtt_.clear();
    sample_width_ms_ = 0;
}

void SvgTimeline::request(const Run& run, uint64_t, int64_t time_ms, Outcome,
                          std::optional<uint32_t> rtt_ms) {
    if (!run.settings.verbose || !rtt_ms) return;
    if (!rtt_.empty() && time_ms - rtt_.back().time_ms < sample_width_ms_) {
        Sample& last = rtt_.back();
        last.sum += *rtt_ms;
        ++last.count;
        last.max = std::max(last.max, *rtt_ms);
        return;
    }
    rtt_.push_back(Sample{time_ms, *rtt_ms, 1, *rtt_ms});
    if (rtt_.size() < max_kept) return;
    // Full: neighbours pair up, and samples are twice as wide from now on.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rtt_.size(); i += 2, ++kept) {
        Sample merged = rtt_[i];
        if (i + 1 < rtt_.size()) {
            merged.sum += rtt_[i + 1].sum;
            merged.count += rtt_[i + 1].count;
            merged.max = std::max(merged.max, rtt_[i + 1].max);
        }
        rtt_[kept] = merged;
    }
    rtt_.resize(kept);
    sample_width_ms_ =
        std::max<int64_t>({1, sample_width_ms_ * 2,
                           (rtt_.back().time_ms - rtt_.front().time_ms) / int64_t{max_kept / 2}});
}

void SvgTimeline::outage(const Run& run, const Outage& outage) {
    down_.push_back(Span{outage.start_ms, outage.end_ms.value_or(run.end_ms()), false});
    while (down_.size() >= max_kept) {
        // Full: outages closer than the gap become one span, the gap doubling
        // until half the room is free.
        merge_gap_ms_ = std::max<int64_t>(1, merge_gap_ms_ * 2);
        std::size_t kept = 0;
        for (std::size_t i = 1; i < down_.size(); ++i) {
            if (down_[i].start_ms - down_[kept].end_ms <= merge_gap_ms_) {
                down_[kept].end_ms = down_[i].end_ms;
                down_[kept].merged = true;
            } else {
                down_[++kept] = down_[i];
            }
        }
        down_.resize(kept + 1);
        if (down_.size() < max_kept / 2) break;
    }
}

void SvgTimeline::band_title(const Run& run, int y) {
    std::fprintf(
        file_,
        "<text x=\"%d\" y=\"%d\" font-size=\"13\" font-weight=\"bold\">run %llu: %s</text>\n", left,
        y + 16, static_cast<unsigned long long>(run.number),
        xml_text(run.has_header ? run.command : "(no header)").c_str());
    std::fprintf(file_,
                 "<text x=\"%d\" y=\"%d\" fill=\"#666666\">started %s, lasted %s: sent %llu, "
                 "received %llu, lost %s %%, ended: %s</text>\n",
                 left, y + 32, clock_text(run.start_ms.value_or(0)).c_str(),
                 duration_text(run.lasted_ms()).c_str(),
                 static_cast<unsigned long long>(run.sent()),
                 static_cast<unsigned long long>(run.received()),
                 tenths_text(run.loss_tenths()).c_str(), ending_name(run.ending));
}

void SvgTimeline::band_spans(int band, const std::function<double(int64_t)>& x_of) {
    for (const Span& down : down_) {
        double x = x_of(down.start_ms), w = std::max(1.0, x_of(down.end_ms) - x);
        std::fprintf(file_,
                     "<rect x=\"%.2f\" y=\"%d\" width=\"%.2f\" height=\"22\" fill=\"%s\"/>\n", x,
                     band, w, down_colour);
        std::string label = duration_text(down.end_ms - down.start_ms);
        if (!down.merged && w >= 7.0 * static_cast<double>(label.size())) {
            std::fprintf(file_,
                         "<text x=\"%.2f\" y=\"%d\" font-size=\"11\" fill=\"#ffffff\" "
                         "text-anchor=\"middle\">%s</text>\n",
                         x + w / 2, band + 15, label.c_str());
        }
    }
}

void SvgTimeline::band_round_trips(const Run& run, int y, int band,
                                   const std::function<double(int64_t)>& x_of) {
    if (rtt_.empty()) return;
    uint32_t highest = 0;
    double scale = 1;
    for (const Sample& s : rtt_) {
        highest = std::max(highest, s.max);
        scale = std::max(scale, static_cast<double>(s.sum) / s.count);
    }
    // The line breaks where replies stopped (an outage) rather than bridge it.
    int64_t gap =
        2 * std::max<int64_t>({1, run.settings.period_ms, run.settings.wait_ms, sample_width_ms_});
    for (std::size_t i = 0; i < rtt_.size(); ++i) {
        const Sample& s = rtt_[i];
        if (i == 0 || s.time_ms - rtt_[i - 1].time_ms > gap) {
            std::fprintf(file_,
                         "%s<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" points=\"",
                         i == 0 ? "" : "\"/>\n", rtt_colour);
        }
        double mean = static_cast<double>(s.sum) / s.count;
        std::fprintf(file_, "%.2f,%.2f ", x_of(s.time_ms), band - 4 - mean / scale * 30);
    }
    std::fprintf(file_,
                 "\"/>\n<text x=\"%d\" y=\"%d\" font-size=\"10\" fill=\"%s\" "
                 "text-anchor=\"end\">round trip up to %u ms</text>\n",
                 left + plot_width, y + 46, rtt_colour, highest);
}

void SvgTimeline::band_axis(int64_t start, int64_t span, int axis,
                            const std::function<double(int64_t)>& x_of) {
    std::fprintf(file_, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#333333\"/>\n",
                 left, axis, left + plot_width, axis);
    int64_t step = tick_step(span);
    for (int64_t t = (start + step - 1) / step * step; t <= start + span; t += step) {
        std::string label = clock_text(t);
        if (step % 1000 == 0) label.resize(label.size() - 4);
        std::fprintf(
            file_,
            "<line x1=\"%.2f\" y1=\"%d\" x2=\"%.2f\" y2=\"%d\" stroke=\"#333333\"/>"
            "<text x=\"%.2f\" y=\"%d\" font-size=\"10\" text-anchor=\"middle\">%s</text>\n",
            x_of(t), axis, x_of(t), axis + 4, x_of(t), axis + 15, label.c_str());
    }
}

void SvgTimeline::run_ends(const Run& run) {
    if (file_ == nullptr) return;
    int y = top + runs_++ * band_height;
    int64_t start = run.start_ms.value_or(0);
    int64_t span = std::max<int64_t>(1, run.end_ms() - start);
    auto x_of = [&](int64_t t) {
        return left + static_cast<double>(std::clamp<int64_t>(t - start, 0, span)) * plot_width /
                          static_cast<double>(span);
    };
    band_title(run, y);
    int band = y + 76;
    std::fprintf(file_, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"22\" fill=\"%s\"/>\n", left,
                 band, plot_width, run.start_ms ? up_colour : "#cccccc");
    band_spans(band, x_of);
    band_round_trips(run, y, band, x_of);
    band_axis(start, span, band + 26, x_of);
}

bool SvgTimeline::finish() {
    if (file_ == nullptr) return false;
    int height = top + std::max(runs_, 1) * band_height;
    std::fputs("</g>\n</svg>\n", file_);
    bool written = std::fseek(file_, 0, SEEK_SET) == 0;
    if (written) {
        std::fprintf(
            file_,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg "
            "xmlns=\"http://www.w3.org/2000/svg\"%-*s",
            root_room,
            (" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) +
             "\" viewBox=\"0 0 " + std::to_string(width) + ' ' + std::to_string(height) + '"')
                .c_str());
    }
    written = std::ferror(file_) == 0 && written;
    written = std::fclose(file_) == 0 && written;
    file_ = nullptr;
    if (written && os::replace_with(written_, path_)) return true;
    int error = errno;
    std::remove(written_.c_str());
    errno = error;
    return false;
}

}  // namespace qlog
