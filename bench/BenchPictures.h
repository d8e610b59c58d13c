// Pictures the benchmarks work on: photo-like content (gradients plus noise), never a flat colour,
// so that no code path is flattered by uniform data.
#pragma once

#include <cstdint>
#include <ctime>

#include "Effector/Bitmap.h"

namespace tilvo::bench {

// CPU time of the calling thread, in seconds: what a ratio to a baseline in the same run is taken
// over, so that other processes on a shared machine do not count.
inline double ThreadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Wall-clock time, in seconds: for work spread over several threads, against a baseline's own.
inline double WallSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// CPU time of every thread of the process, in seconds.
inline double ProcessSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

inline void MakePhotoLike(TBitmap& bmp, int32_t width, int32_t height, uint32_t seed = 1) {
    bmp.Resize(width, height, pf24bit);
    uint32_t s = seed * 2654435761u + 1;
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = bmp.ScanLine(y);
        for (int32_t x = 0; x < width; ++x) {
            s = s * 1664525u + 1013904223u;
            const int noise = int(s >> 28) - 8;
            const int b = x * 255 / (width > 1 ? width - 1 : 1) + noise;
            const int g = y * 255 / (height > 1 ? height - 1 : 1) + noise;
            const int r = ((x + y) & 255) + noise;
            row[3 * x] = uint8_t(b < 0 ? 0 : b > 255 ? 255 : b);
            row[3 * x + 1] = uint8_t(g < 0 ? 0 : g > 255 ? 255 : g);
            row[3 * x + 2] = uint8_t(r < 0 ? 0 : r > 255 ? 255 : r);
        }
    }
}

}  // namespace tilvo::bench
