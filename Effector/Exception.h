// The one base of every error the engine and the picture files raise, and the checked size
// arithmetic that keeps hostile sizes from turning into huge or wrapped allocations.
#pragma once

#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

namespace tilvo {

// Every error carries a plain English text meant to be shown to the user as it is.
class Exception : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A surface (or a picture a reader is about to decode) needs more memory than the system allows.
class EPictureTooLarge : public Exception {
  public:
    EPictureTooLarge() : Exception("picture too large") {}
    explicit EPictureTooLarge(const std::string& detail)
        : Exception("picture too large" + detail) {}
};

// A memory request of `Bytes` bytes that the system refused. It is a std::bad_alloc, so every
// handler of that still catches it; the open path turns it into a message that names the file
// and the memory it needs.
class EOutOfMemory : public std::bad_alloc {
  public:
    explicit EOutOfMemory(int64_t bytes) : bytes_(bytes) {}
    int64_t Bytes() const { return bytes_; }
    const char* what() const noexcept override { return "not enough memory"; }

  private:
    int64_t bytes_;
};

// The most bytes one surface may take: 2 GiB admits a 100-megapixel picture even at 32 bits per
// pixel (400 MB) and keeps the five surfaces of the main window well inside a 24 GiB machine.
// A build may set another (TILVO_MAX_SURFACE_BYTES).
#ifdef TILVO_MAX_SURFACE_BYTES
inline constexpr int64_t kMaxSurfaceBytes = TILVO_MAX_SURFACE_BYTES;
#else
inline constexpr int64_t kMaxSurfaceBytes = int64_t{1} << 31;
#endif
// The longest side a surface may have; keeps every row offset and coordinate within 32 bits.
inline constexpr int64_t kMaxSurfaceSide = 1 << 20;

// a * b, throwing EPictureTooLarge when either factor is negative or the product leaves 63 bits.
inline int64_t CheckedMul(int64_t a, int64_t b) {
    if (a < 0 || b < 0) throw EPictureTooLarge();
    if (a != 0 && b > std::numeric_limits<int64_t>::max() / a) throw EPictureTooLarge();
    return a * b;
}

inline int64_t CheckedAdd(int64_t a, int64_t b) {
    if (a < 0 || b < 0 || a > std::numeric_limits<int64_t>::max() - b) throw EPictureTooLarge();
    return a + b;
}

// Bytes of one row of `width` pixels at `bitsPerPixel`, padded to 4 bytes as every surface row is.
inline int64_t RowBytes(int64_t width, int bitsPerPixel) {
    return (CheckedMul(width, bitsPerPixel) + 31) / 32 * 4;
}

// Refuses a picture size before anything is allocated for it: negative sides, sides beyond
// kMaxSurfaceSide, or more than kMaxSurfaceBytes at the given depth. Readers call it with the
// size found in a file header; the surface calls it on every resize. The message names the size
// and the limit it broke.
[[noreturn]] inline void ThrowPictureTooLarge(int64_t width, int64_t height, int bitsPerPixel) {
    const std::string size =
        ": " + std::to_string(width) + " \u00D7 " + std::to_string(height) + " pixels";
    if (width > kMaxSurfaceSide || height > kMaxSurfaceSide)
        throw EPictureTooLarge(size + ", more than " + std::to_string(kMaxSurfaceSide) +
                               " pixels a side");
    throw EPictureTooLarge(size + " at " + std::to_string(bitsPerPixel) +
                           " bits a pixel take more than the " +
                           std::to_string(kMaxSurfaceBytes >> 20) + " MiB a picture may use");
}

inline void CheckPictureSize(int64_t width, int64_t height, int bitsPerPixel = 24) {
    if (width < 0 || height < 0) throw Exception("invalid picture size");
    if (width > kMaxSurfaceSide || height > kMaxSurfaceSide ||
        (width > 0 && height > kMaxSurfaceBytes / RowBytes(width, bitsPerPixel)))
        ThrowPictureTooLarge(width, height, bitsPerPixel);
}

}  // namespace tilvo
