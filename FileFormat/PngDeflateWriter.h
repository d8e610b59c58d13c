// The PNG encoder behind TPNGImage's save: the rows are filtered into memory (adaptive choice per
// row by the minimum sum of absolute differences, or no filter for palette pictures), compressed
// as one zlib stream with libdeflate (in pieces on every core when the picture is large) and
// framed into chunks here.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "FileFormat/Progress.h"
#include "FileFormat/Stream.h"

namespace tilvo {

// The libdeflate level the PNG writer compresses at.
inline constexpr int kPngDeflateLevel = 4;

enum class TPngFilterChoice { None, Adaptive };

// What goes into the file besides the pixels: the header fields, PLTE and tRNS.
struct TPngLayout {
    uint32_t Width = 0, Height = 0;
    uint8_t ColorType = 2;  // 0 gray, 2 RGB, 3 palette; always 8 bits per sample
    bool Interlaced = false;
    std::vector<uint8_t> Palette;       // PLTE payload (R, G, B per entry); none when empty
    std::vector<uint8_t> Transparency;  // tRNS payload; none when empty
    TPngFilterChoice Filters = TPngFilterChoice::Adaptive;
    int Level = kPngDeflateLevel;
    // How many pieces the rows are deflated in, each on a thread of its own: 0 for one a core
    // when the picture is large enough to gain from it. More pieces than rows give one a row.
    uint32_t Pieces = 0;
};

// Writes the samples of picture row y (Width × channels bytes, in PNG order) to `out`. It is called
// from several threads at once (for different rows), so it must only read what it shares.
using TPngRowSource = std::function<void(int32_t y, uint8_t* out)>;

// Encodes the picture and writes the whole file to `stream`. `progress` is stepped once per row as
// the rows are filtered (the first fifth of the work) and reaches 100 when the file is written;
// ECancelled from it stops the encoding before anything is written. Throws EPictureTooLarge when
// the filtered rows would not fit the surface limit.
void EncodePngDeflate(TStream& stream, const TPngLayout& layout, const TPngRowSource& rows,
                      TProgress& progress);

}  // namespace tilvo
