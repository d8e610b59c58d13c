// tilvo-cli's runs over many files, as batch engines drive them: the names of --files-from, the
// report in JSON Lines, outputs that exist skipped, and the progress line on a terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "CliOptions.h"

namespace tilvo {

// What one conversion found out, as far as it got, for the report.
struct TConvertFacts {
    int32_t Width = 0, Height = 0;  // the picture as saved; 0 while it has not been opened
    int32_t ItemsApplied = 0;       // strokes and rectangles that reach the picture
    // The input's Exif block: none (it has no usable one), kept (a new block was built from its
    // kept tags into a JPEG output) or removed (the output carries none of it).
    enum class TExif { Unknown, None, Kept, Removed } Exif = TExif::Unknown;
    int32_t Found = -1;  // what a find proposed and hid; -1: no find asked for
};

// The names of --files-from: one a line, or NUL-separated (-0); empty names are skipped, and a
// line's trailing "\r" is kept as part of its name. "-" reads standard input. Throws Exception
// when the list cannot be read.
std::vector<std::string> ReadFileList(const std::string& path, bool nulSeparated);

// One line of the report: one input and what became of it.
struct TReportEntry {
    std::string Input, Output;
    std::string Status;  // "ok", "failed" or "skipped"
    std::string Message;
    TConvertFacts Facts;
    double Seconds = 0;
};

// The entry as one JSON object on one line, "\n" included. Strings are UTF-8; bytes of a name
// that are not UTF-8 become U+FFFD. A size not known is null, as is the Exif of an input that
// was skipped or failed.
std::string FormatReportLine(const TReportEntry& entry);

// The report file, opened for appending (made when missing): a rerun adds to what an interrupted
// run left. Each entry is one write of one whole line, so a killed run leaves only whole lines and
// several processes can share one report. Throws Exception when the file cannot be opened.
class TBatchReport {
  public:
    explicit TBatchReport(const std::string& path);
    ~TBatchReport();
    TBatchReport(const TBatchReport&) = delete;
    TBatchReport& operator=(const TBatchReport&) = delete;

    // Safe from several threads at once. Throws Exception when the line cannot be written.
    void Add(const TReportEntry& entry);

  private:
    int fd_ = -1;
    std::string path_;
    std::mutex mutex_;
};

// How a run over many files goes.
struct TBatchSettings {
    unsigned Jobs = 1;          // files at once
    bool SkipExisting = false;  // an output that exists is left alone and reported skipped
    bool Quiet = false;         // no line per file and no summary; failures on `err`
    std::string ReportPath;     // --report FILE; empty: none
    bool Progress = false;      // the progress line on `err` (the caller tells a terminal)
};

// Converts one item; fills what it learns into the facts; throws with the reason on failure,
// leaving the output as it was.
using TConvertItem = std::function<void(const TBatchItem&, TConvertFacts&)>;

// Every item, settings.Jobs at a time, each on its own: a line per file on `out` as it is done
// ("INPUT -> OUTPUT: ok", "... : skipped, it exists", "INPUT: failed: reason"), then a summary;
// a report entry per file. Answers the exit status: 1 when any failed or the report cannot be
// written, else 0.
int RunBatchItems(const std::vector<TBatchItem>& items, const TBatchSettings& settings,
                  const TConvertItem& convert, std::FILE* out, std::FILE* err);

// One INPUT to one OUTPUT with --report or --skip-existing: the same report entry and skipping as
// in a batch (OUTPUT "-" is never skipped). A failure is reported, then thrown on.
void RunOneReported(const TBatchItem& item, const TBatchSettings& settings,
                    const TConvertItem& convert, std::FILE* err);

}  // namespace tilvo
