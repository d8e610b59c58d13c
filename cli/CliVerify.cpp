// tilvo-cli --verify.
#include "CliVerify.h"

#include <exception>

#include "FileFormat/JpegVerify.h"
#include "FileFormat/Stream.h"

namespace tilvo {

int RunVerify(const std::vector<std::string>& files, std::FILE* out, std::FILE* err) {
    bool unreadable = false, suspicious = false;
    for (const std::string& name : files) {
        TJpegScan scan;
        try {
            const std::vector<uint8_t> data = ReadWholeFile(name);
            scan = ScanJpegForLeaks(data.data(), data.size(), TJpegVerifyOptions{});
        } catch (const std::exception& e) {
            std::fprintf(err, "tilvo-cli: could not read \"%s\": %s\n", name.c_str(), e.what());
            unreadable = true;
            continue;
        }
        std::fprintf(out, "%s: %d x %d\n", name.c_str(), scan.Width, scan.Height);
        for (const TEmbeddedPicture& p : scan.Pictures) {
            std::fprintf(out, "  %s at %lld: %d x %d", p.Where.c_str(),
                         static_cast<long long>(p.Offset), p.Width, p.Height);
            if (p.Thumbnail) std::fprintf(out, ", Exif thumbnail");
            if (p.Difference >= 0) std::fprintf(out, ", difference %.1f", p.Difference);
            if (p.Suspicious) std::fprintf(out, ": SUSPICIOUS, %s", p.Reason.c_str());
            std::fputc('\n', out);
        }
        for (const std::string& problem : scan.Problems)
            std::fprintf(out, "  SUSPICIOUS: %s\n", problem.c_str());
        const bool clean = scan.Clean();
        std::fprintf(out, "  %s\n", clean ? "clean" : "suspicious");
        suspicious = suspicious || !clean;
    }
    return suspicious ? 3 : unreadable ? 1 : 0;
}

}  // namespace tilvo
