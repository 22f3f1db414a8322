// The picture of the runs: bands of runs, or rows of days.
#include "log_reader/svg_timeline.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>

#include "log_reader/calendar.h"
#include "log_reader/os.h"
#include "log_reader/report_text.h"
#include "record/stamp.h"

namespace qlog {

namespace {

constexpr int left = 40, width = left + SvgTimeline::pixels + 40;  // bands
constexpr int day_left = 120, day_width = day_left + SvgTimeline::pixels + 20;
constexpr int top = 48, band_height = 126, day_row = 34;
constexpr std::size_t kept_labels = 16;  // of a band or a day, the longest
constexpr std::size_t max_samples = 4096;
constexpr int64_t solid_from_ms = 60000;  // drawn solid; labelled on the rows of days
constexpr std::size_t max_solid = 2048;   // of a band or a day
constexpr const char* up_colour = "#2ca02c";
constexpr const char* down_colour = "#d62728";
constexpr const char* rtt_colour = "#1f77b4";
constexpr const char* unwatched_colour = "#cccccc";

// Text for XML: escaped, and with bytes that are not UTF-8 as '?'.
std::string xml_text(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = utf8_length(text, i);
        bool whole = length > 0;
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

void keep_label(std::vector<SvgTimeline::Label>& labels, SvgTimeline::Label label,
                int64_t from_ms) {
    if (label.length_ms < from_ms) return;
    labels.push_back(label);
    std::push_heap(labels.begin(), labels.end());
    if (labels.size() <= kept_labels) return;
    std::pop_heap(labels.begin(), labels.end());
    labels.pop_back();
}

// "3:00:00" for a length of a minute or more, its ms left out.
std::string length_text(int64_t ms) {
    std::string text = duration_text(ms);
    return text.substr(0, text.size() - 4);
}

// The red of a row: each pixel as high as the share of its time that was
// down; neighbours of the same share as one rectangle.
bool draw_shares(std::FILE* file, int x0, int y, int height, const std::vector<double>& share) {
    bool drew = false;
    for (std::size_t p = 0; p < share.size();) {
        // To a thousandth of the pixel, the same share.
        double s = std::clamp(std::round(share[p] * 1000) / 1000, 0.0, 1.0);
        std::size_t q = p + 1;
        while (q < share.size() && std::clamp(std::round(share[q] * 1000) / 1000, 0.0, 1.0) == s)
            ++q;
        if (s > 0) {
            std::fprintf(file,
                         "<rect x=\"%d\" y=\"%.3f\" width=\"%d\" height=\"%.3f\" fill=\"%s\"/>\n",
                         x0 + static_cast<int>(p), y + height * (1 - s), static_cast<int>(q - p),
                         height * s, down_colour);
            drew = true;
        }
        // A share too small to see, alone, gets a mark under the band as well.
        bool alone = (p == 0 || share[p - 1] < 0.25) && (q == share.size() || share[q] < 0.25);
        if (share[p] > 0 && s < 0.25 && alone) {
            std::fprintf(file, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"3\" fill=\"%s\"/>\n",
                         x0 + static_cast<int>(p), y + height + 1, static_cast<int>(q - p),
                         down_colour);
            drew = true;
        }
        p = q;
    }
    return drew;
}

// An outage of a minute or more: the band's height, at its exact place.
void draw_solid(std::FILE* file, double x, int y, double width, int height) {
    std::fprintf(file, "<rect x=\"%.3f\" y=\"%d\" width=\"%.3f\" height=\"%d\" fill=\"%s\"/>\n", x,
                 y, width, height, down_colour);
}

}  // namespace

SvgTimeline::~SvgTimeline() {
    if (file_ == nullptr || to_stdout_) return;
    std::fclose(file_);
    std::remove(written_.c_str());
}

bool SvgTimeline::open(const std::string& path) {
    path_ = path;
    if (path == "-") {
        to_stdout_ = true;
        file_ = stdout;
        return true;
    }
    for (int attempt = 0; file_ == nullptr && attempt < 100; ++attempt) {
        written_ = path + ".new" + std::to_string(attempt);
        file_ = os::create_new(written_);
        if (file_ == nullptr && errno != EEXIST) return false;
    }
    return file_ != nullptr;
}

void SvgTimeline::run_begins(const Run& run) {
    Band band;
    // Where the first reading of the file told the run's span, the bins
    // cover it from the start; they widen as needed otherwise.
    if (run.date.first_ms) {
        band.origin_ms = *run.date.first_ms;
        band.bin_ms = std::max<int64_t>(
            1, (run.date.end_ms - *run.date.first_ms + int64_t{bins} - 1) / int64_t{bins});
    }
    band.down.assign(bins, 0);
    bands_.push_back(std::move(band));
}

void SvgTimeline::request(const Run& run, uint64_t, int64_t time_ms, Outcome,
                          std::optional<uint32_t> rtt_ms) {
    Band& band = bands_.back();
    if (!run.date.first_ms && band.rtt.empty() && band.down.front() == 0) band.origin_ms = time_ms;
    if (!run.settings.verbose || !rtt_ms) return;
    std::vector<Sample>& rtt = band.rtt;
    if (!rtt.empty() && time_ms - rtt.back().time_ms < band.sample_width_ms) {
        Sample& last = rtt.back();
        last.sum += *rtt_ms;
        ++last.count;
        last.max = std::max(last.max, *rtt_ms);
        return;
    }
    rtt.push_back(Sample{time_ms, *rtt_ms, 1, *rtt_ms});
    if (rtt.size() < max_samples) return;
    // Full: neighbours pair up, and samples are twice as wide from now on.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rtt.size(); i += 2, ++kept) {
        Sample merged = rtt[i];
        if (i + 1 < rtt.size()) {
            merged.sum += rtt[i + 1].sum;
            merged.count += rtt[i + 1].count;
            merged.max = std::max(merged.max, rtt[i + 1].max);
        }
        rtt[kept] = merged;
    }
    rtt.resize(kept);
    band.sample_width_ms =
        std::max<int64_t>({1, band.sample_width_ms * 2,
                           (rtt.back().time_ms - rtt.front().time_ms) / int64_t{max_samples / 2}});
}

void SvgTimeline::add_down(Band& band, int64_t from, int64_t to) {
    from = std::max(from, band.origin_ms);
    // Past the last bin: bins pair up, twice as wide, until it fits.
    while (to > band.origin_ms + band.bin_ms * int64_t{bins}) {
        for (std::size_t i = 0; i < bins / 2; ++i)
            band.down[i] = band.down[2 * i] + band.down[2 * i + 1];
        std::fill(band.down.begin() + bins / 2, band.down.end(), 0);
        band.bin_ms *= 2;
    }
    while (from < to) {
        auto bin = static_cast<std::size_t>((from - band.origin_ms) / band.bin_ms);
        int64_t end = std::min(to, band.origin_ms + (static_cast<int64_t>(bin) + 1) * band.bin_ms);
        band.down[bin] += end - from;
        from = end;
    }
}

void SvgTimeline::add_days(const std::string& host, int64_t from, int64_t to, Span span) {
    for (int64_t day = day_start(from); from < to; day = next_day(day)) {
        int64_t length = next_day(day) - day, end = std::min(to, day + length);
        Day& row = days_[{host, day}];
        if (span == Span::Solid) keep_label(row.labels, Label{from, end - from}, solid_from_ms);
        if (span == Span::Solid && row.solid.size() < max_solid) {
            row.solid.push_back(Label{from, end - from});
            from = end;
            continue;
        }
        // Pixel p of a day of length L starts at ceil(p L / 920) ms: a
        // little more or less than 94 s on the days the clocks change.
        for (int64_t at = from; at < end;) {
            int64_t p = (at - day) * pixels / length;
            int64_t pixel_end = std::min(end, day + ((p + 1) * length + pixels - 1) / pixels);
            (span == Span::Watched ? row.watched : row.down)[static_cast<std::size_t>(p)] +=
                pixel_end - at;
            at = pixel_end;
        }
        from = end;
    }
}

void SvgTimeline::outage(const Run& run, const Outage& outage) {
    int64_t end = outage.end_ms.value_or(run.end_ms());
    Band& band = bands_.back();
    if (band.down.front() == 0 && !run.date.first_ms && band.rtt.empty())
        band.origin_ms = std::min(band.origin_ms, outage.start_ms);
    bool solid = end - outage.start_ms >= solid_from_ms;
    if (solid && band.solid.size() < max_solid)
        band.solid.push_back(Label{outage.start_ms, end - outage.start_ms});
    else
        add_down(band, outage.start_ms, end);
    keep_label(band.labels, Label{outage.start_ms, end - outage.start_ms}, 0);
    if (std::optional<int64_t> wall = run.wall_ms(outage.start_ms))
        add_days(run.host(), *wall, *wall + (end - outage.start_ms),
                 solid ? Span::Solid : Span::Down);
}

void SvgTimeline::run_ends(const Run& run) {
    Band& band = bands_.back();
    band.run = run;
    if (!run.start_ms) return;
    if (std::optional<int64_t> wall = run.wall_ms(*run.start_ms))
        add_days(run.host(), *wall, *wall + run.lasted_ms(), Span::Watched);
    else
        all_dated_ = false;
}

namespace {

// The ticks of a band's axis: every step of the run's clock, or of the
// local clock where the run is dated, midnights with their date.
struct Tick {
    int64_t own_ms;
    std::string text;
};

std::vector<Tick> ticks_of(const Run& run, int64_t start, int64_t span) {
    std::vector<Tick> ticks;
    int64_t step = tick_step(span);
    std::optional<int64_t> wall = run.wall_ms(start);
    // Local time runs this much ahead of the run's clock.
    int64_t shift = wall ? *wall + civil_of(*wall).offset_s * 1000 - start : 0;
    int64_t first = start + shift;
    first = (first / step + (first % step != 0)) * step - shift;
    for (int64_t t = first; t <= start + span && ticks.size() < 64; t += step) {
        std::string text;
        if (wall) {
            int64_t at = *run.wall_ms(t);
            Civil c = civil_of(at);
            std::string iso = iso_text(at);
            text = c.hour == 0 && c.minute == 0 && c.second == 0 && c.millisecond == 0
                       ? std::string(weekday_name(at)) + ' ' + iso.substr(0, 10)
                       : iso.substr(11, step % 60000 == 0  ? 5
                                        : step % 1000 == 0 ? 8
                                                           : 12);
        } else {
            text = clock_text(t);
            if (step % 1000 == 0) text.resize(text.size() - 4);
        }
        ticks.push_back(Tick{t, text});
    }
    return ticks;
}

// The days from one local midnight to another, both counted.
int day_count(int64_t first, int64_t last) {
    int days = 1;
    for (int64_t day = first; day < last; day = next_day(day)) ++days;
    return days;
}

// The start of an outage as its label gives it: the time of day.
std::string label_start(const Run* run, int64_t ms) {
    if (run == nullptr) return iso_text(ms).substr(11, 5);
    std::optional<int64_t> wall = run->wall_ms(ms);
    return wall ? iso_text(*wall).substr(11, 5) : clock_text(ms).substr(0, 8);
}

}  // namespace

void SvgTimeline::draw_band(const Band& band, int y,
                            std::optional<std::pair<int64_t, int64_t>> axis_span) {
    const Run& run = band.run;
    std::fprintf(
        file_,
        "<text x=\"%d\" y=\"%d\" font-size=\"13\" font-weight=\"bold\">run %llu: %s</text>\n", left,
        y + 16, static_cast<unsigned long long>(run.number),
        xml_text(run.has_header ? run.command : "(no header)").c_str());
    std::string started = run.start_ms ? when_text(run, *run.start_ms) : "-";
    if (run.start_ms && !run.date.offset_ms) started += ", " + run.date.unknown;
    std::fprintf(file_,
                 "<text x=\"%d\" y=\"%d\" fill=\"#666666\">started %s, lasted %s: sent %llu, "
                 "received %llu, lost %s %%, ended: %s</text>\n",
                 left, y + 32, xml_text(started).c_str(), duration_text(run.lasted_ms()).c_str(),
                 static_cast<unsigned long long>(run.sent()),
                 static_cast<unsigned long long>(run.received()),
                 tenths_text(run.loss_tenths()).c_str(), ending_name(run.ending));
    int top_y = y + 76;
    // Its own span, or the one all dated runs share.
    int64_t start = run.start_ms.value_or(0);
    int64_t span = std::max<int64_t>(1, run.end_ms() - start);
    if (axis_span && run.date.offset_ms) {
        start = axis_span->first - *run.date.offset_ms;
        span = std::max<int64_t>(1, axis_span->second - axis_span->first);
    }
    auto x_of = [&](int64_t t) {
        return left + static_cast<double>(std::clamp<int64_t>(t - start, 0, span)) * pixels /
                          static_cast<double>(span);
    };
    // Grey where the shared axis goes beyond the run, green over the run.
    std::fprintf(file_, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"22\" fill=\"%s\"/>\n", left,
                 top_y, pixels, unwatched_colour);
    if (run.start_ms) {
        double from = std::floor(x_of(*run.start_ms)), to = std::ceil(x_of(run.end_ms()));
        std::fprintf(file_,
                     "<rect x=\"%.0f\" y=\"%d\" width=\"%.0f\" height=\"22\" fill=\"%s\"/>\n", from,
                     top_y, std::max(1.0, to - from), up_colour);
    }
    // The bins spread over the pixels they overlap.
    std::vector<double> share(pixels, 0.0);
    double pixel_ms = static_cast<double>(span) / pixels;
    for (std::size_t i = 0; i < bins; ++i) {
        if (band.down[i] == 0) continue;
        double from =
            static_cast<double>(band.origin_ms + static_cast<int64_t>(i) * band.bin_ms - start);
        double to = from + static_cast<double>(band.bin_ms);
        double per_ms = static_cast<double>(band.down[i]) / static_cast<double>(band.bin_ms);
        for (auto p = static_cast<int64_t>(std::max(0.0, from / pixel_ms));
             p < pixels && static_cast<double>(p) * pixel_ms < to; ++p) {
            double overlap = std::min(to, static_cast<double>(p + 1) * pixel_ms) -
                             std::max(from, static_cast<double>(p) * pixel_ms);
            if (overlap > 0) share[static_cast<std::size_t>(p)] += overlap * per_ms / pixel_ms;
        }
    }
    draw_shares(file_, left, top_y, 22, share);
    for (const Label& solid : band.solid) {
        double x = x_of(solid.start_ms);
        draw_solid(file_, x, top_y, x_of(solid.start_ms + solid.length_ms) - x, 22);
    }
    std::vector<Label> labels = band.labels;
    for (const Label& label : labels) {
        // A band's outages shorter than a minute by their second and ms.
        std::string text = label.length_ms >= solid_from_ms ? label_start(&run, label.start_ms) +
                                                                  ' ' + length_text(label.length_ms)
                                                            : duration_text(label.length_ms);
        double x = x_of(label.start_ms), w = x_of(label.start_ms + label.length_ms) - x;
        if (w < 6.5 * static_cast<double>(text.size())) continue;
        std::fprintf(file_,
                     "<text x=\"%.2f\" y=\"%d\" font-size=\"11\" fill=\"#ffffff\" "
                     "text-anchor=\"middle\">%s</text>\n",
                     x + w / 2, top_y + 15, text.c_str());
    }
    // The round trip, its line broken where replies stopped.
    if (!band.rtt.empty()) {
        uint32_t highest = 0;
        double scale = 1;
        for (const Sample& s : band.rtt) {
            highest = std::max(highest, s.max);
            scale = std::max(scale, static_cast<double>(s.sum) / s.count);
        }
        int64_t gap = 2 * std::max<int64_t>({1, run.settings.period_ms, run.settings.wait_ms,
                                             band.sample_width_ms});
        for (std::size_t i = 0; i < band.rtt.size(); ++i) {
            const Sample& s = band.rtt[i];
            if (i == 0 || s.time_ms - band.rtt[i - 1].time_ms > gap) {
                std::fprintf(file_,
                             "%s<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" "
                             "points=\"",
                             i == 0 ? "" : "\"/>\n", rtt_colour);
            }
            double mean = static_cast<double>(s.sum) / s.count;
            std::fprintf(file_, "%.2f,%.2f ", x_of(s.time_ms), top_y - 4 - mean / scale * 30);
        }
        std::fprintf(file_,
                     "\"/>\n<text x=\"%d\" y=\"%d\" font-size=\"10\" fill=\"%s\" "
                     "text-anchor=\"end\">round trip up to %u ms</text>\n",
                     left + pixels, y + 46, rtt_colour, highest);
    }
    int axis = top_y + 26;
    std::fprintf(file_, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#333333\"/>\n",
                 left, axis, left + pixels, axis);
    for (const Tick& tick : ticks_of(run, start, span)) {
        double x = x_of(tick.own_ms);
        std::fprintf(
            file_,
            "<line x1=\"%.2f\" y1=\"%d\" x2=\"%.2f\" y2=\"%d\" stroke=\"#333333\"/>"
            "<text x=\"%.2f\" y=\"%d\" font-size=\"10\" text-anchor=\"middle\">%s</text>\n",
            x, axis, x, axis + 4, x, axis + 15, tick.text.c_str());
    }
}

void SvgTimeline::draw_days(int y) {
    auto x_of_hour = [](int hour) { return day_left + hour * pixels / 24; };
    bool several = days_.begin()->first.first != days_.rbegin()->first.first;
    for (auto it = days_.begin(); it != days_.end();) {
        const std::string& host = it->first.first;
        if (several) {
            std::fprintf(
                file_, "<text x=\"8\" y=\"%d\" font-size=\"13\" font-weight=\"bold\">%s</text>\n",
                y + 14, xml_text(host.empty() ? "an unknown host (no header)" : host).c_str());
            y += 20;
        }
        // The hours, above the first day of the host and in the gaps below.
        int64_t last = it->first.second;
        for (auto d = it; d != days_.end() && d->first.first == host; ++d) last = d->first.second;
        int bottom = y + 4 + day_count(it->first.second, last) * day_row;
        for (int hour = 0; hour <= 24; hour += 3) {
            std::fprintf(
                file_,
                "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#dddddd\"/>"
                "<text x=\"%d\" y=\"%d\" font-size=\"10\" text-anchor=\"middle\">%02d:00</text>\n",
                x_of_hour(hour), y + 4, x_of_hour(hour), bottom, x_of_hour(hour), y, hour);
        }
        y += 4;
        for (int64_t day = it->first.second; day <= last; day = next_day(day)) {
            auto found = days_.find({host, day});
            Day empty;
            const Day& row = found != days_.end() ? found->second : empty;
            int band = y + 12;
            std::fprintf(file_, "<text x=\"8\" y=\"%d\">%s %s</text>\n", band + 13,
                         weekday_name(day), date_text(day).c_str());
            // The day's band, named for scripts that measure the picture.
            std::fprintf(file_,
                         "<rect data-day=\"%s\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"18\" "
                         "fill=\"%s\"/>\n",
                         date_text(day).c_str(), day_left, band, pixels, unwatched_colour);
            double pixel_ms = static_cast<double>(next_day(day) - day) / pixels;
            std::vector<double> share(pixels);
            for (int p = 0; p < pixels;) {
                int q = p;
                while (q < pixels && (row.watched[q] > 0) == (row.watched[p] > 0)) ++q;
                if (row.watched[p] > 0) {
                    std::fprintf(
                        file_, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"18\" fill=\"%s\"/>\n",
                        day_left + p, band, q - p, up_colour);
                }
                p = q;
            }
            for (int p = 0; p < pixels; ++p) share[p] = static_cast<double>(row.down[p]) / pixel_ms;
            draw_shares(file_, day_left, band, 18, share);
            for (const Label& solid : row.solid) {
                draw_solid(file_, day_left + static_cast<double>(solid.start_ms - day) / pixel_ms,
                           band, static_cast<double>(solid.length_ms) / pixel_ms, 18);
            }
            // Labels above the band, the earlier first, none over another.
            std::vector<Label> labels = row.labels;
            std::sort(labels.begin(), labels.end(),
                      [](const Label& a, const Label& b) { return a.start_ms < b.start_ms; });
            double free_from = 0;
            for (const Label& label : labels) {
                std::string text =
                    label_start(nullptr, label.start_ms) + ' ' + length_text(label.length_ms);
                double x = day_left + static_cast<double>(label.start_ms - day) / pixel_ms;
                if (x < free_from) continue;
                std::fprintf(file_,
                             "<text x=\"%.2f\" y=\"%d\" font-size=\"10\" fill=\"%s\">%s</text>\n",
                             x, band - 2, down_colour, text.c_str());
                free_from = x + 6.0 * static_cast<double>(text.size()) + 6;
            }
            y += day_row;
        }
        while (it != days_.end() && it->first.first == host) ++it;
        y += 12;
    }
}

bool SvgTimeline::finish() {
    if (file_ == nullptr) return false;
    // Rows of days where every run is dated and they span a day or more.
    int64_t first = INT64_MAX, last = INT64_MIN;
    for (const Band& band : bands_) {
        if (!band.run.start_ms) continue;
        first = std::min(first, *band.run.wall_ms(*band.run.start_ms));
        last = std::max(last, *band.run.wall_ms(band.run.end_ms()));
    }
    bool by_day = all_dated_ && !days_.empty() && last - first >= int64_t{record::day_ms};
    int height = top + std::max<int>(static_cast<int>(bands_.size()), 1) * band_height;
    int picture_width = width;
    if (by_day) {
        picture_width = day_width;
        height = top;
        for (auto it = days_.begin(); it != days_.end();) {
            const std::string& host = it->first.first;
            int64_t first = it->first.second, last = first;
            for (; it != days_.end() && it->first.first == host; ++it) last = it->first.second;
            height += 20 + 16 + day_count(first, last) * day_row;
        }
    }
    // Dated runs share one axis; several of them leave some of it unwatched.
    bool shared = all_dated_ && first < last && bands_.size() > 1;
    // The legend names only what is drawn.
    for (const Band& band : bands_) {
        drew_down_ =
            drew_down_ || !band.solid.empty() ||
            std::any_of(band.down.begin(), band.down.end(), [](int64_t d) { return d > 0; });
        drew_rtt_ = drew_rtt_ || (!by_day && !band.rtt.empty());
        drew_unwatched_ = drew_unwatched_ || (!by_day && (!band.run.start_ms || shared));
    }
    if (by_day) drew_unwatched_ = true;
    std::fprintf(
        file_,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
        "width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">\n"
        "<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n"
        "<g font-family=\"sans-serif\" font-size=\"12\" fill=\"#333333\">\n"
        "<text x=\"%d\" y=\"22\" font-size=\"15\" font-weight=\"bold\">qelvor runs</text>\n",
        picture_width, height, picture_width, height, by_day ? 8 : left);
    legend(picture_width);
    if (by_day) {
        draw_days(top);
    } else {
        for (std::size_t i = 0; i < bands_.size(); ++i)
            draw_band(
                bands_[i], top + static_cast<int>(i) * band_height,
                all_dated_ && first < last ? std::optional(std::pair(first, last)) : std::nullopt);
    }
    std::fputs("</g>\n</svg>\n", file_);
    bool written = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    if (to_stdout_) {
        file_ = nullptr;
        return written;
    }
    written = std::fclose(file_) == 0 && written;
    file_ = nullptr;
    if (written && os::replace_with(written_, path_)) return true;
    int error = errno;
    std::remove(written_.c_str());
    errno = error;
    return false;
}

void SvgTimeline::legend(int picture_width) {
    struct Entry {
        bool shown;
        const char* colour;
        const char* text;
        bool line;
    } entries[] = {{true, up_colour, "up", false},
                   {drew_down_, down_colour, "down", false},
                   {drew_unwatched_, unwatched_colour, "not watched", false},
                   {drew_rtt_, rtt_colour, "round trip (verbose runs)", true}};
    int x = picture_width - 20;
    for (auto it = std::rbegin(entries); it != std::rend(entries); ++it) {
        if (!it->shown) continue;
        x -= 30 + 7 * static_cast<int>(std::string_view(it->text).size());
        if (it->line) {
            std::fprintf(file_,
                         "<line x1=\"%d\" y1=\"17\" x2=\"%d\" y2=\"17\" stroke=\"%s\" "
                         "stroke-width=\"2\"/>",
                         x, x + 14, it->colour);
        } else {
            std::fprintf(file_, "<rect x=\"%d\" y=\"10\" width=\"14\" height=\"14\" fill=\"%s\"/>",
                         x, it->colour);
        }
        std::fprintf(file_, "<text x=\"%d\" y=\"22\">%s</text>\n", x + 18, it->text);
    }
}

}  // namespace qlog
