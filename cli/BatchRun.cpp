// tilvo-cli's runs over many files: --files-from, --report, --skip-existing and the progress line.
#include "BatchRun.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <thread>

namespace tilvo {

namespace {

using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point start) {
    return std::chrono::duration<double>(TClock::now() - start).count();
}

// The length of the UTF-8 sequence at s[i] (shortest forms only, no surrogates), 0 when the
// bytes there are not one.
size_t Utf8SequenceAt(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return uint8_t(s[i + k]); };
    const size_t left = s.size() - i;
    const uint8_t c = b(0);
    if (c < 0x80) return 1;
    auto cont = [&](size_t k) { return k < left && (b(k) & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
        if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        if (c == 0xF0 && b(1) < 0x90) return 0;   // overlong
        if (c == 0xF4 && b(1) >= 0x90) return 0;  // beyond U+10FFFF
        return 4;
    }
    return 0;
}

void AppendJsonString(std::string& to, const std::string& s) {
    to += '"';
    for (size_t i = 0; i < s.size();) {
        const uint8_t c = uint8_t(s[i]);
        if (c == '"' || c == '\\') {
            to += '\\';
            to += char(c);
        } else if (c == '\n') {
            to += "\\n";
        } else if (c == '\r') {
            to += "\\r";
        } else if (c == '\t') {
            to += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            to += hex;
        } else if (c >= 0x80) {
            const size_t n = Utf8SequenceAt(s, i);
            if (n == 0) {
                to += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
                ++i;
                continue;
            }
            to.append(s, i, n);
            i += n;
            continue;
        } else {
            to += char(c);
        }
        ++i;
    }
    to += '"';
}

const char* ExifName(TConvertFacts::TExif exif) {
    switch (exif) {
        case TConvertFacts::TExif::None:
            return "\"none\"";
        case TConvertFacts::TExif::Kept:
            return "\"kept\"";
        case TConvertFacts::TExif::Removed:
            return "\"removed\"";
        case TConvertFacts::TExif::Unknown:
            break;
    }
    return "null";
}

// "1:05" or "1:02:03".
std::string Duration(double seconds) {
    const long s = long(std::lround(std::max(0.0, seconds)));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

// The progress line: files done of the total, the rate and the time left, rewritten in place on
// the terminal after every file and cleared before any other line is printed.
class TProgressLine {
  public:
    TProgressLine(bool shown, size_t total, std::FILE* err)
        : shown_(shown && total > 0), total_(total), err_(err), start_(TClock::now()) {}

    void Clear() {
        if (!shown_ || !drawn_) return;
        std::fputs("\r\033[K", err_);
        std::fflush(err_);
        drawn_ = false;
    }
    // One more file done (`worked`: converted or failed, not skipped, which takes no time).
    void Done(bool worked) {
        ++done_;
        if (worked) ++worked_;
        if (!shown_) return;
        const double elapsed = SecondsSince(start_);
        const double rate = elapsed > 0 ? double(worked_) / elapsed : 0;
        char text[128];
        int n = std::snprintf(text, sizeof text, "\r%zu of %zu files", done_, total_);
        if (rate > 0) {
            n += std::snprintf(text + n, sizeof text - size_t(n), ", %.1f files/s", rate);
            if (done_ < total_)
                n += std::snprintf(text + n, sizeof text - size_t(n), ", %s left",
                                   Duration(double(total_ - done_) / rate).c_str());
        }
        std::string line(text);
        line += "\033[K";
        std::fputs(line.c_str(), err_);
        std::fflush(err_);
        drawn_ = true;
    }

  private:
    bool shown_;
    size_t total_;
    std::FILE* err_;
    TClock::time_point start_;
    size_t done_ = 0, worked_ = 0;
    bool drawn_ = false;
};

bool OutputExists(const std::string& output) {
    std::error_code ec;
    return output != "-" && std::filesystem::exists(output, ec);
}


// Converts one item, its facts into `entry`; a failure is recorded there as failed (nothing was
// written) and answered as its exception, null when the item was converted.
std::exception_ptr ConvertRecorded(const TConvertItem& convert, const TBatchItem& item,
                                   TReportEntry& entry) {
    try {
        convert(item, entry.Facts);
        return nullptr;
    } catch (const std::exception& e) {
        entry.Status = "failed";
        entry.Message = e.what();
        entry.Facts.Exif = TConvertFacts::TExif::Unknown;
        return std::current_exception();
    }
}

}  // namespace

std::vector<std::string> ReadFileList(const std::string& path, bool nulSeparated) {
    std::FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!f)
        throw Exception("cannot read the list of files \"" + path + "\": " + std::strerror(errno));
    std::string all;
    char buffer[1 << 16];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) all.append(buffer, n);
    const bool failed = std::ferror(f) != 0;
    if (f != stdin) std::fclose(f);
    if (failed) throw Exception("cannot read the list of files \"" + path + "\"");

    const char separator = nulSeparated ? '\0' : '\n';
    std::vector<std::string> names;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find(separator, start);
        if (end == std::string::npos) end = all.size();
        if (end > start) names.emplace_back(all, start, end - start);
        start = end + 1;
    }
    return names;
}

std::string FormatReportLine(const TReportEntry& e) {
    std::string line = "{\"input\":";
    AppendJsonString(line, e.Input);
    line += ",\"output\":";
    AppendJsonString(line, e.Output);
    line += ",\"status\":";
    AppendJsonString(line, e.Status);
    line += ",\"message\":";
    AppendJsonString(line, e.Message);
    const bool sized = e.Facts.Width > 0 && e.Facts.Height > 0;
    line += ",\"width\":" + (sized ? std::to_string(e.Facts.Width) : std::string("null"));
    line += ",\"height\":" + (sized ? std::to_string(e.Facts.Height) : std::string("null"));
    line += ",\"items\":" + std::to_string(e.Facts.ItemsApplied);
    line += ",\"exif\":";
    line += ExifName(e.Facts.Exif);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, ",\"seconds\":%.3f}\n", std::max(0.0, e.Seconds));
    line += seconds;
    return line;
}

TBatchReport::TBatchReport(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd_ < 0)
        throw Exception("cannot open the report \"" + path + "\": " + std::strerror(errno));
}

TBatchReport::~TBatchReport() {
    if (fd_ >= 0) ::close(fd_);
}

void TBatchReport::Add(const TReportEntry& entry) {
    const std::string line = FormatReportLine(entry);
    const std::lock_guard<std::mutex> lock(mutex_);
    // One write of the whole line: with O_APPEND it lands at the end whole, whoever else
    // appends to the file. A short write (a full disk) is finished, and then reported.
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw Exception("cannot write the report \"" + path_ + "\": " + std::strerror(errno));
        done += size_t(n);
    }
}

int RunBatchItems(const std::vector<TBatchItem>& items, const TBatchSettings& settings,
                  const TConvertItem& convert, std::FILE* out, std::FILE* err) {
    std::unique_ptr<TBatchReport> report;
    if (!settings.ReportPath.empty()) report = std::make_unique<TBatchReport>(settings.ReportPath);
    const unsigned jobs = unsigned(std::min<size_t>(std::max(1u, settings.Jobs), items.size()));

    std::atomic<size_t> next{0};
    size_t failed = 0, skipped = 0;
    bool reportFailed = false;
    std::mutex print;
    TProgressLine progress(settings.Progress, items.size(), err);
    auto worker = [&] {
        for (size_t i = next++; i < items.size(); i = next++) {
            const TBatchItem& item = items[i];
            TReportEntry entry{item.Input, item.Output, "ok", "", {}, 0};
            const TClock::time_point start = TClock::now();
            if (settings.SkipExisting && OutputExists(item.Output)) {
                entry.Status = "skipped";
                entry.Message = "the output exists";
            } else {
                ConvertRecorded(convert, item, entry);
            }
            entry.Seconds = SecondsSince(start);
            std::string reportError;
            if (report) {
                try {
                    report->Add(entry);
                } catch (const std::exception& e) {
                    reportError = e.what();
                }
            }

            const std::lock_guard<std::mutex> lock(print);
            // The progress line is redrawn below; it goes first only where a line is printed.
            if (entry.Status == "failed" || !settings.Quiet || !reportError.empty())
                progress.Clear();
            if (entry.Status == "failed") {
                ++failed;
                // A failure goes to standard error always, where a script's log of errors
                // catches it, and to the list of files too unless quiet.
                if (!settings.Quiet)
                    std::fprintf(out, "%s: failed: %s\n", item.Input.c_str(),
                                 entry.Message.c_str());
                std::fprintf(err, "tilvo-cli: %s: failed: %s\n", item.Input.c_str(),
                             entry.Message.c_str());
            } else if (!settings.Quiet) {
                const bool skip = entry.Status == "skipped";
                // A find's line ends with what it found ("found 0": a picture to look at).
                const std::string found =
                    !skip && entry.Facts.Found >= 0 ? ", found " + std::to_string(entry.Facts.Found)
                                                    : std::string();
                std::fprintf(out, "%s -> %s: %s%s\n", item.Input.c_str(), item.Output.c_str(),
                             skip ? "skipped, it exists" : "ok", found.c_str());
            }
            if (entry.Status == "skipped") ++skipped;
            std::fflush(out);
            if (!reportError.empty() && !reportFailed) {
                reportFailed = true;
                std::fprintf(err, "tilvo-cli: %s\n", reportError.c_str());
            }
            progress.Done(entry.Status != "skipped");
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 1; t < jobs; ++t) threads.emplace_back(worker);
    worker();
    for (std::thread& t : threads) t.join();
    progress.Clear();

    if (!settings.Quiet) {
        const size_t written = items.size() - failed - skipped;
        if (skipped)
            std::fprintf(out, "%zu of %zu files written, %zu skipped, %zu failed\n", written,
                         items.size(), skipped, failed);
        else
            std::fprintf(out, "%zu of %zu files written, %zu failed\n", written, items.size(),
                         failed);
        std::fflush(out);
    }
    return failed || reportFailed ? 1 : 0;
}

void RunOneReported(const TBatchItem& item, const TBatchSettings& settings,
                    const TConvertItem& convert, std::FILE* err) {
    std::unique_ptr<TBatchReport> report;
    if (!settings.ReportPath.empty()) report = std::make_unique<TBatchReport>(settings.ReportPath);
    TReportEntry entry{item.Input, item.Output, "ok", "", {}, 0};
    const TClock::time_point start = TClock::now();
    if (settings.SkipExisting && OutputExists(item.Output)) {
        entry.Status = "skipped";
        entry.Message = "the output exists";
        if (!settings.Quiet)
            std::fprintf(err, "tilvo-cli: %s exists: skipped\n", item.Output.c_str());
        if (report) report->Add(entry);
        return;
    }
    if (const std::exception_ptr failure = ConvertRecorded(convert, item, entry)) {
        entry.Seconds = SecondsSince(start);
        if (report) report->Add(entry);
        std::rethrow_exception(failure);
    }
    entry.Seconds = SecondsSince(start);
    if (report) report->Add(entry);
}

}  // namespace tilvo
