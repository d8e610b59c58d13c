// tilvo-cli --verify.
#include "CliVerify.h"

#include <exception>

#include "FileFormat/JpegVerify.h"
#include "FileFormat/Stream.h"

namespace tilvo {

namespace {

void List(const std::string& name, const TJpegScan& scan, std::FILE* out) {
    std::fprintf(out, "%s: %d x %d\n", name.c_str(), scan.Width, scan.Height);
    for (const TJpegCarrier& c : scan.Carriers) {
        std::fprintf(out, "  %s at %lld, %lld bytes", c.Kind.c_str(),
                     static_cast<long long>(c.Offset), static_cast<long long>(c.Size));
        if (!c.Details.empty()) std::fprintf(out, ": %s", c.Details.c_str());
        std::fputc('\n', out);
    }
    for (const TEmbeddedPicture& p : scan.Pictures) {
        std::fprintf(out, "  picture: %s %d x %d in %s at %lld", p.Kind.c_str(), p.Width, p.Height,
                     p.Where.c_str(), static_cast<long long>(p.Offset));
        if (p.Thumbnail) std::fprintf(out, ", thumbnail");
        if (p.Difference >= 0) std::fprintf(out, ", difference %.1f", p.Difference);
        if (p.Suspicious) std::fprintf(out, ": SUSPICIOUS, %s", p.Reason.c_str());
        std::fputc('\n', out);
    }
    for (const std::string& problem : scan.Problems)
        std::fprintf(out, "  SUSPICIOUS: %s\n", problem.c_str());
    if (!scan.NotAsTilvoWrites.empty())
        std::fprintf(out, "  not as Tilvo writes its files: %s\n", scan.NotAsTilvoWrites.c_str());
    std::fprintf(out, "  %s\n", scan.Clean() ? "clean" : "suspicious");
}

}  // namespace

int RunVerify(const std::vector<std::string>& files, std::FILE* out, std::FILE* err) {
    bool unreadable = false, suspicious = false;
    for (const std::string& name : files) {
        TJpegScan scan;
        try {
            const TFileBytes data(name);
            scan = ScanJpegForLeaks(data.Bytes().data(), data.Bytes().size(), TJpegVerifyOptions{});
        } catch (const std::exception& e) {
            std::fprintf(err, "tilvo-cli: could not read \"%s\": %s\n", name.c_str(), e.what());
            unreadable = true;
            continue;
        }
        List(name, scan, out);
        suspicious = suspicious || !scan.Clean();
    }
    // A file that could not be read may hide anything: it is never outweighed by a finding.
    return unreadable ? 1 : suspicious ? 3 : 0;
}

}  // namespace tilvo
