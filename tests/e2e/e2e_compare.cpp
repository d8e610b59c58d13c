// Compares a picture written by the program with the picture it was made from, both read through
// the program's own open path. Usage:
//   e2e_compare <source> <result> same
//   e2e_compare <source> <result> band <min width> <max width> <min height> <max height>
// "same": every pixel equal. "band": the pixels that differ fill a box of the given size range
// (the stroke's rectangle), and everything outside that box is equal.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FileFormat/Graphic.h"

using namespace tilvo;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <source> <result> same|band ...\n", argv[0]);
        return 2;
    }
    try {
        RegisterAllFormats();
        TBitmap source, result;
        LoadPictureFile(argv[1], source);
        LoadPictureFile(argv[2], result);
        if (source.Width() != result.Width() || source.Height() != result.Height()) {
            std::printf("size differs: %dx%d against %dx%d\n", result.Width(), result.Height(),
                        source.Width(), source.Height());
            return 1;
        }
        int left = source.Width(), top = source.Height(), right = -1, bottom = -1;
        long changed = 0;
        for (int y = 0; y < source.Height(); ++y)
            for (int x = 0; x < source.Width(); ++x)
                if (std::memcmp(source.ScanLine(y) + 3 * x, result.ScanLine(y) + 3 * x, 3) != 0) {
                    ++changed;
                    if (x < left) left = x;
                    if (x > right) right = x;
                    if (y < top) top = y;
                    if (y > bottom) bottom = y;
                }
        std::printf("%ld pixels differ", changed);
        if (changed) std::printf(", inside x %d..%d, y %d..%d", left, right, top, bottom);
        std::printf("\n");
        if (std::strcmp(argv[3], "same") == 0) return changed == 0 ? 0 : 1;
        if (std::strcmp(argv[3], "band") != 0 || argc != 8) return 2;
        if (changed == 0) return 1;
        const int w = right - left + 1, h = bottom - top + 1;
        const bool ok = w >= std::atoi(argv[4]) && w <= std::atoi(argv[5]) &&
                        h >= std::atoi(argv[6]) && h <= std::atoi(argv[7]) &&
                        changed >= long(w) * h / 3;  // a filled band, not scattered pixels
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
}
