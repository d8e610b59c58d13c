// Reading and writing MAG pictures.
//
// A MAG row is a sequence of 2-byte units (4 pixels at 16 colours, 2 at 256). Each unit has a
// 4-bit flag: 0 takes the next two bytes of pixel data, 1 to 15 copy an earlier unit at a fixed
// distance up and to the left. Two flags share a flag byte; a flag byte is stored as its XOR
// with the same byte of the row above, in flag B, and only when that XOR is not zero, which
// flag A records with one bit per flag byte.
#include "Mag.h"

#include <algorithm>
#include <cstring>

#include "ExportGlue.h"
#include "PixelRoutines.h"
#include "ProgressScope.h"

namespace tilvo {

namespace {

constexpr uint8_t kSignature[8] = {'M', 'A', 'K', 'I', '0', '2', ' ', ' '};
constexpr uint8_t kEndOfComment = 0x1A;
constexpr const char* kDefaultComment = "Tilvo TMAGImage Ver 1.01";
constexpr const char* kDefaultUserName = ">?\?<";
constexpr size_t kUserNameBytes = 18;
constexpr size_t kUserNameOffset = 13;
constexpr size_t kBlockBytes = 32;  // the identification block and the picture header

// Flag f copies the unit kDy[f] rows up and kDx[f] units to the left; f = 0 is new data.
constexpr int32_t kDy[16] = {0, 0, 0, 0, 1, 1, 2, 2, 2, 4, 4, 4, 8, 8, 8, 16};
constexpr int32_t kDx[16] = {0, 1, 2, 4, 0, 1, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0};

// Pixels per alignment step: a row is a whole number of flag bytes (two units).
constexpr int32_t Alignment(bool colors256) {
    return colors256 ? 4 : 8;
}
constexpr size_t PaletteSize(bool colors256) {
    return colors256 ? 256 : 16;
}

uint16_t GetU16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void PutU16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void PutU32(uint8_t* p, uint32_t v) {
    PutU16(p, v & 0xFFFF);
    PutU16(p + 2, v >> 16);
}

// Flag A: one bit per flag byte of the picture, rounded up to whole bytes.
uint64_t FlagABytes(uint64_t flagBytesPerRow, uint64_t height) {
    return (flagBytesPerRow * height + 7) / 8;
}

// Sets columns [from, to) of every row to index 0 (or black on a surface without a palette).
void ClearColumns(TBitmap& picture, int32_t from, int32_t to) {
    if (from >= to) return;
    const bool four = picture.PixelFormat() == pf4bit;
    const int bytesPerPixel = BitsPerPixel(picture.PixelFormat()) / 8;  // 4-bit: handled below
    for (int32_t y = 0; y < picture.Height(); ++y) {
        uint8_t* row = picture.ScanLine(y);
        if (!four) {
            std::memset(row + int64_t(from) * bytesPerPixel, 0,
                        size_t(int64_t(to - from) * bytesPerPixel));
            continue;
        }
        int32_t x = from;
        if (x & 1) {  // the right pixel of a byte whose left pixel stays
            row[x >> 1] &= 0xF0;
            ++x;
        }
        if (x < to) std::memset(row + (x >> 1), 0, size_t((to - x + 1) >> 1));
    }
}

// A 1-bit surface as a 4-bit one with the same indices and palette.
void OneBitToFourBit(TBitmap& picture) {
    const int32_t w = picture.Width(), h = picture.Height();
    TBitmap out(w, h, pf4bit);
    std::vector<uint8_t> indices(size_t(w) + 1, 0);
    for (int32_t y = 0; y < h; ++y) {
        ExpandPackedRow(picture.ScanLine(y), 1, size_t(w), indices.data());
        uint8_t* d = out.ScanLine(y);
        for (int32_t x = 0; x < w; x += 2) d[x >> 1] = uint8_t(indices[x] << 4 | indices[x + 1]);
    }
    out.Palette() = picture.Palette();
    picture.Swap(out);
}

}  // namespace

TMAGImage::TMAGImage() : TGraphic(std::make_shared<TMagData>()) {
    ResetDefaults();
}

void TMAGImage::ResetDefaults() {
    colorMode_ = 0;
    comment_ = kDefaultComment;
    userName_ = kDefaultUserName;
    line200_ = 0;
    originY_ = 0;
    originX_ = 0;
}

// ---- reading --------------------------------------------------------------------------------

void TMAGImage::LoadFromStream(TStream& stream) {
    const int64_t start = stream.Position();
    const int64_t size = stream.Size() - start;
    if (size < 0) throw EMagError("is not MAG.");
    auto data = std::make_shared<TMagData>();
    data->Stream.resize(size_t(size));
    stream.ReadBuffer(data->Stream.data(), size);

    const uint8_t* file = data->Stream.data();
    const uint64_t n = data->Stream.size();
    if (n < kBlockBytes || std::memcmp(file, kSignature, sizeof kSignature) != 0)
        throw EMagError("is not MAG.");
    const auto* eoc = static_cast<const uint8_t*>(
        std::memchr(file + kBlockBytes, kEndOfComment, n - kBlockBytes));
    if (!eoc) throw EMagError("is not MAG.");
    const uint64_t headerPos = uint64_t(eoc - file) + 1;
    if (n - headerPos < kBlockBytes) throw EMagError("header is cut short.");
    const uint8_t* header = file + headerPos;

    const uint8_t screenMode = header[3];
    const bool colors256 = (screenMode & 0x80) != 0;
    const int64_t a = Alignment(colors256);
    const int64_t x1 = GetU16(header + 4), y1 = GetU16(header + 6);
    const int64_t x2 = GetU16(header + 8), y2 = GetU16(header + 10);
    if (x2 < x1 || y2 < y1) throw EMagError("bad picture size.");
    const int64_t width = (x2 - x2 % a + a) - (x1 - x1 % a);
    const int64_t height = y2 - y1 + 1;
    const uint64_t flagAOffset = GetU32(header + 12);
    const uint64_t flagBOffset = GetU32(header + 16);
    const uint64_t flagBSize = GetU32(header + 20);
    const uint64_t pixelOffset = GetU32(header + 24);
    const uint64_t pixelSize = GetU32(header + 28);

    // Every part the header names must lie inside the data, before anything is allocated for the
    // picture: the pixel count is then bounded by the file's own size (flag A has one bit per
    // flag byte).
    const uint64_t units = uint64_t(width) / (colors256 ? 2 : 4);
    const uint64_t flagBytes = units / 2;
    const uint64_t avail = n - headerPos;  // offsets count from the header's first byte
    const uint64_t paletteBytes = PaletteSize(colors256) * 3;
    auto inside = [&](uint64_t offset, uint64_t length) {
        return offset <= avail && length <= avail - offset;
    };
    if (!inside(kBlockBytes, paletteBytes)) throw EMagError("palette is cut short.");
    if (!inside(flagAOffset, FlagABytes(flagBytes, uint64_t(height))))
        throw EMagError("flag A lies outside the file.");
    if (!inside(flagBOffset, flagBSize)) throw EMagError("flag B lies outside the file.");
    if (!inside(pixelOffset, pixelSize)) throw EMagError("pixel data lies outside the file.");
    const TPixelFormat pf = colors256 ? pf8bit : pf4bit;
    CheckPictureData(width, height, BitsPerPixel(pf),
                     int64_t(FlagABytes(flagBytes, uint64_t(height))), int64_t(avail));

    TBitmap result(int32_t(width), int32_t(height), pf);
    std::vector<TPaletteEntry>& palette = result.Palette();
    palette.resize(PaletteSize(colors256));
    const uint8_t* pal = header + kBlockBytes;
    for (TPaletteEntry& e : palette) {  // green, red, blue
        e = TPaletteEntry{pal[1], pal[0], pal[2], 0};
        pal += 3;
    }

    const uint8_t* flagA = header + flagAOffset;
    const uint8_t* flagB = header + flagBOffset;
    const uint8_t* flagBEnd = flagB + flagBSize;
    const uint8_t* pixels = header + pixelOffset;
    const uint8_t* pixelsEnd = pixels + pixelSize;
    std::vector<uint8_t> flagRow(size_t(flagBytes), 0);
    std::vector<uint8_t*> rows(static_cast<size_t>(height));
    for (int32_t y = 0; y < int32_t(height); ++y) rows[size_t(y)] = result.ScanLine(y);

    uint64_t bit = 0;
    TProgress& progress = CurrentProgress();
    for (int32_t y = 0; y < int32_t(height); ++y) {
        progress.Step(y, height);
        uint8_t* row = rows[size_t(y)];
        for (size_t i = 0; i < flagBytes; ++i, ++bit) {
            if (flagA[bit >> 3] & (0x80 >> (bit & 7))) {
                if (flagB == flagBEnd) throw EMagError("flag B is cut short.");
                flagRow[i] ^= *flagB++;
            }
            for (int half = 0; half < 2; ++half) {
                const unsigned f = half ? flagRow[i] & 15u : flagRow[i] >> 4;
                const int64_t unit = int64_t(2 * i) + half;
                uint8_t* d = row + 2 * unit;
                if (f == 0) {
                    if (pixelsEnd - pixels < 2) throw EMagError("pixel data is cut short.");
                    d[0] = pixels[0];
                    d[1] = pixels[1];
                    pixels += 2;
                } else {
                    if (y < kDy[f] || unit < kDx[f])
                        throw EMagError("copy from outside the picture.");
                    const uint8_t* s = rows[size_t(y - kDy[f])] + 2 * (unit - kDx[f]);
                    d[0] = s[0];
                    d[1] = s[1];
                }
            }
        }
    }

    // Success: the graphic takes the new state as a whole.
    std::memcpy(data->Identification, file, kBlockBytes);
    std::memcpy(data->PictureHeader, header, kBlockBytes);
    data->Width = int32_t(width);
    data->Height = int32_t(height);
    userName_.assign(reinterpret_cast<const char*>(file + kUserNameOffset), kUserNameBytes);
    comment_.assign(reinterpret_cast<const char*>(file + kBlockBytes),
                    size_t(eoc - file) - kBlockBytes);
    colorMode_ = colors256 ? 1 : 0;
    line200_ = screenMode & 1;
    originX_ = uint16_t(x1 - x1 % a);
    originY_ = uint16_t(y1);
    bitmap_.Swap(result);
    holder_ = std::move(data);
    modified_ = false;
}

// ---- writing --------------------------------------------------------------------------------

void TMAGImage::Encode() {
    if (bitmap_.Empty()) throw EInvalidMagOperation("not have DIB");
    const TPixelFormat pf = bitmap_.PixelFormat();
    if (pf != pf4bit && pf != pf8bit) throw EInvalidMagOperation("not a 16- or 256-colour picture");
    const bool colors256 = pf == pf8bit;
    const int64_t w = bitmap_.Width(), h = bitmap_.Height();
    if (w % Alignment(colors256) != 0) throw EInvalidMagOperation("width not aligned");
    if (originX_ + w - 1 > 0xFFFF || originY_ + h - 1 > 0xFFFF)
        throw EInvalidMagOperation("range over");
    if (comment_.find(char(kEndOfComment)) != std::string::npos)
        throw EInvalidMagOperation("comment holds an end-of-comment byte");

    const int64_t units = colors256 ? w / 2 : w / 4;
    const int64_t flagBytes = units / 2;
    uint64_t flagASize = FlagABytes(uint64_t(flagBytes), uint64_t(h));
    flagASize += flagASize & 1;  // kept even, so flag B starts at an even offset
    std::vector<uint8_t> flagA(size_t(flagASize), 0);
    std::vector<uint8_t> flagB;
    std::vector<uint8_t> pixels;
    std::vector<uint8_t> flagRow(size_t(flagBytes), 0);

    std::vector<const uint8_t*> rows(static_cast<size_t>(h));
    for (int32_t y = 0; y < int32_t(h); ++y) rows[size_t(y)] = bitmap_.ScanLine(y);
    auto sameAs = [&](int32_t y, int64_t unit, unsigned f) {
        if (y < kDy[f] || unit < kDx[f]) return false;
        const uint8_t* s = rows[size_t(y - kDy[f])] + 2 * (unit - kDx[f]);
        const uint8_t* c = rows[size_t(y)] + 2 * unit;
        return s[0] == c[0] && s[1] == c[1];
    };

    uint64_t bit = 0;
    for (int32_t y = 0; y < int32_t(h); ++y) {
        const uint8_t* row = rows[size_t(y)];
        for (int64_t i = 0; i < flagBytes; ++i, ++bit) {
            unsigned flags[2];
            for (int half = 0; half < 2; ++half) {
                const int64_t unit = 2 * i + half;
                const unsigned above = half ? flagRow[size_t(i)] & 15u : flagRow[size_t(i)] >> 4;
                unsigned f = 0;
                if (above != 0 && sameAs(y, unit, above)) {
                    f = above;
                } else {
                    for (unsigned t = 1; t < 16; ++t)
                        if (sameAs(y, unit, t)) {
                            f = t;
                            break;
                        }
                }
                if (f == 0) {
                    pixels.push_back(row[2 * unit]);
                    pixels.push_back(row[2 * unit + 1]);
                }
                flags[half] = f;
            }
            const uint8_t next = uint8_t(flags[0] << 4 | flags[1]);
            if (next != flagRow[size_t(i)]) {
                flagA[size_t(bit >> 3)] |= uint8_t(0x80 >> (bit & 7));
                flagB.push_back(uint8_t(flagRow[size_t(i)] ^ next));
                flagRow[size_t(i)] = next;
            }
        }
    }
    if (flagB.size() & 1) flagB.push_back(0);

    const uint64_t paletteBytes = PaletteSize(colors256) * 3;
    const uint64_t flagAOffset = kBlockBytes + paletteBytes;
    const uint64_t flagBOffset = flagAOffset + flagASize;
    const uint64_t pixelOffset = flagBOffset + flagB.size();
    const uint64_t end = pixelOffset + pixels.size();
    if (end > 0xFFFFFFFFu) throw EInvalidMagOperation("range over");

    // The comment, with a space when needed so that the picture header starts at an even offset.
    std::string comment = comment_;
    if (comment.size() % 2 == 0) comment.push_back(' ');

    auto data = std::make_shared<TMagData>();
    std::vector<uint8_t>& out = data->Stream;
    out.reserve(size_t(kBlockBytes + comment.size() + 1 + end));

    uint8_t* id = data->Identification;
    std::memset(id, ' ', kBlockBytes);
    std::memcpy(id, kSignature, sizeof kSignature);
    std::memcpy(id + 8, "TlvP", 4);
    std::memcpy(id + kUserNameOffset, userName_.data(), std::min(userName_.size(), kUserNameBytes));
    out.insert(out.end(), id, id + kBlockBytes);
    out.insert(out.end(), comment.begin(), comment.end());
    out.push_back(kEndOfComment);

    uint8_t* hd = data->PictureHeader;
    hd[0] = 0;
    hd[1] = 0;
    hd[2] = 0;
    hd[3] = uint8_t((colors256 ? 0x80 : 0) | (line200_ ? 1 : 0));
    PutU16(hd + 4, originX_);
    PutU16(hd + 6, originY_);
    PutU16(hd + 8, uint32_t(originX_ + w - 1));
    PutU16(hd + 10, uint32_t(originY_ + h - 1));
    PutU32(hd + 12, uint32_t(flagAOffset));
    PutU32(hd + 16, uint32_t(flagBOffset));
    PutU32(hd + 20, uint32_t(flagB.size()));
    PutU32(hd + 24, uint32_t(pixelOffset));
    PutU32(hd + 28, uint32_t(pixels.size()));
    out.insert(out.end(), hd, hd + kBlockBytes);

    for (const TPaletteEntry& e : PadPalette(bitmap_.Palette(), PaletteSize(colors256))) {
        out.push_back(e.Green);
        out.push_back(e.Red);
        out.push_back(e.Blue);
    }
    out.insert(out.end(), flagA.begin(), flagA.end());
    out.insert(out.end(), flagB.begin(), flagB.end());
    out.insert(out.end(), pixels.begin(), pixels.end());
    data->Width = int32_t(w);
    data->Height = int32_t(h);

    holder_ = std::move(data);
    colorMode_ = colors256 ? 1 : 0;
    modified_ = false;
}

void TMAGImage::SaveToStream(TStream& stream) {
    if (holder_->Stream.empty() || modified_) Encode();
    stream.Write(holder_->Stream.data(), int64_t(holder_->Stream.size()));
}

// ---- the graphic ----------------------------------------------------------------------------

void TMAGImage::Assign(const TBitmap& source) {
    TBitmap picture;
    picture.Assign(source);
    if (!picture.Empty()) {
        if (picture.PixelFormat() == pf1bit)
            OneBitToFourBit(picture);
        else if (picture.PixelFormat() != pf4bit && picture.PixelFormat() != pf8bit)
            ReduceTo8Bit(picture);
    }
    const bool colors256 = picture.PixelFormat() != pf4bit;
    const int32_t a = Alignment(colors256);
    const int32_t w = picture.Width();
    const int32_t wide = int32_t((int64_t(w) + a - 1) / a * a);
    if (wide != w) {
        picture.SetSize(wide, picture.Height());
        ClearColumns(picture, w, wide);
    }
    picture.Palette() = PadPalette(picture.Palette(), PaletteSize(colors256));

    holder_ = std::make_shared<TMagData>();
    ResetDefaults();
    colorMode_ = colors256 ? 1 : 0;
    bitmap_.Swap(picture);
    modified_ = true;
}

void TMAGImage::Assign(const TGraphic& source) {
    if (&source == this) return;
    const auto* mag = dynamic_cast<const TMAGImage*>(&source);
    if (!mag) {
        TGraphic::Assign(source);  // refuses other classes
        return;
    }
    bitmap_.Assign(mag->bitmap_);
    holder_ = mag->holder_;
    colorMode_ = mag->colorMode_;
    userName_ = mag->userName_;
    comment_ = mag->comment_;
    line200_ = mag->line200_;
    originY_ = mag->originY_;
    originX_ = mag->originX_;
    modified_ = true;
}

bool TMAGImage::GetEmpty() const {
    return holder_->Stream.empty() && bitmap_.Empty();
}

int32_t TMAGImage::GetWidth() const {
    return bitmap_.Empty() ? Data()->Width : bitmap_.Width();
}

int32_t TMAGImage::GetHeight() const {
    return bitmap_.Empty() ? Data()->Height : bitmap_.Height();
}

void TMAGImage::SetWidth(int32_t w) {
    const int64_t a = Alignment(colorMode_ != 0);
    const int64_t wide = (std::max<int64_t>(w, 0) + a - 1) / a * a;
    if (originX_ + wide > 0xFFFF) throw EInvalidMagOperation("range over");
    const int32_t old = bitmap_.Width();
    bitmap_.SetSize(int32_t(wide), bitmap_.Height());
    ClearColumns(bitmap_, old, int32_t(wide));
    modified_ = true;
}

void TMAGImage::SetHeight(int32_t h) {
    const int64_t high = std::max<int64_t>(h, 0);
    if (originY_ + high > 0xFFFF) throw EInvalidMagOperation("range over");
    const int32_t old = bitmap_.Height();
    bitmap_.SetSize(bitmap_.Width(), int32_t(high));
    FillRows(bitmap_, old, int32_t(high));
    modified_ = true;
}

void TMAGImage::SetPalette(const std::vector<TPaletteEntry>& palette) {
    bitmap_.Palette() = PadPalette(palette, PaletteSize(colorMode_ != 0));
    modified_ = true;
}

bool TMAGImage::Equals(const TGraphic& other) const {
    return dynamic_cast<const TMAGImage*>(&other) != nullptr && other.Holder() == holder_;
}

void TMAGImage::SetUserName(const std::string& name) {
    userName_ = name;
    modified_ = true;
}

void TMAGImage::SetComment(const std::string& comment) {
    comment_ = comment;
    modified_ = true;
}

void TMAGImage::SetLine200(bool on) {
    line200_ = on ? 1 : 0;
    modified_ = true;
}

void TMAGImage::SetOrigin(uint16_t x, uint16_t y) {
    originX_ = uint16_t(x - x % Alignment(colorMode_ != 0));
    originY_ = y;
    modified_ = true;
}

// ---- the writer of Save and Save As ---------------------------------------------------------

bool SaveMag(const TBitmap& picture, const std::string& fileName, std::string* message) {
    return AnswerWriter(message, [&] {
        TBitmap copy;
        copy.Assign(picture);
        ReduceTo8Bit(copy);
        TMAGImage mag;
        mag.Assign(copy);
        mag.SaveToFile(fileName);
    });
}

}  // namespace tilvo
