// Reading and writing 32-bit Windows resource files.
#include "DcrImageA.h"

#include <cstring>
#include <filesystem>

#include "BMPImage.h"
#include "ByteReader.h"
#include "ExportGlue.h"
#include "IconImageA.h"
#include "JPEGImage.h"

namespace tilvo {

namespace {

// Every 32-bit resource file starts with this empty entry (then 16 zero bytes), which tells it
// from a 16-bit one.
constexpr uint8_t kEmptyEntry[32] = {0, 0, 0, 0, 0x20, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0};
// Data size, header size, the shortest type and name (an ordinal each), and the data version,
// memory flags, language, version and characteristics that close every header.
constexpr uint32_t kFixedTail = 16;
constexpr uint32_t kShortestHeader = 8 + 4 + 4 + kFixedTail;
// Longer resource names are refused when writing; rc and the linkers accept far less.
constexpr size_t kMaxNameUnits = 4096;

constexpr uint16_t RT_CURSOR = 1;
constexpr uint16_t RT_BITMAP = 2;
constexpr uint16_t RT_ICON = 3;
constexpr uint16_t RT_GROUP_CURSOR = 12;
constexpr uint16_t RT_GROUP_ICON = 14;

[[noreturn]] void Invalid(const char* text) {
    throw EInvalidGraphic(text);
}

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6);
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | c >> 18);
        out += char(0x80 | (c >> 12 & 0x3F));
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// A type or name field: 0xFFFF and an ordinal, or UTF-16LE characters up to a 0. The reader is
// limited to the entry's header, so a name without its terminator fails there.
struct TResId {
    bool IsOrdinal = false;
    uint16_t Ordinal = 0;
    std::string Name;  // UTF-8; unpaired surrogates become U+FFFD
};

TResId ReadResId(TByteReader& r) {
    TResId id;
    uint16_t unit = r.U16LE();
    if (unit == 0xFFFF) {
        id.IsOrdinal = true;
        id.Ordinal = r.U16LE();
        id.Name = '#';
        id.Name += std::to_string(id.Ordinal);
        return id;
    }
    for (; unit != 0; unit = r.U16LE()) {
        uint32_t c = unit;
        if (unit >= 0xD800 && unit < 0xDC00) {
            const size_t mark = r.Pos();
            const uint16_t low = r.U16LE();
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((uint32_t(unit) - 0xD800) << 10) + (low - 0xDC00);
            } else {
                c = 0xFFFD;
                r.Seek(mark);
            }
        } else if (unit >= 0xDC00 && unit < 0xE000) {
            c = 0xFFFD;
        }
        AppendUtf8(id.Name, c);
    }
    return id;
}

bool IsJpegType(const std::string& name) {
    if (name.size() != 4) return false;
    std::string upper = name;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return upper == "JPEG";
}

// The bit count of an information header, 32 for a PNG icon image, 0 when there is none.
int HeaderBitCount(const uint8_t* data, size_t size) {
    if (size >= 4 && data[0] == 0x89 && data[1] == 'P' && data[2] == 'N' && data[3] == 'G')
        return 32;
    TByteReader r(data, size);
    try {
        const uint32_t headerSize = r.U32LE();
        r.Skip(headerSize == 12 ? 6 : 10);
        return r.U16LE();
    } catch (const Exception&) {
        return 0;
    }
}

// UTF-8 to UTF-16 code units; throws on malformed text and on an embedded 0.
std::vector<uint16_t> Utf16FromUtf8(const std::string& text) {
    std::vector<uint16_t> out;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char b = s[i];
        uint32_t c = 0;
        int more = 0;
        if (b < 0x80) {
            c = b;
        } else if (b >= 0xC2 && b < 0xE0) {
            c = b & 0x1F;
            more = 1;
        } else if (b >= 0xE0 && b < 0xF0) {
            c = b & 0x0F;
            more = 2;
        } else if (b >= 0xF0 && b < 0xF5) {
            c = b & 0x07;
            more = 3;
        } else {
            Invalid("The resource name is not valid UTF-8");
        }
        if (n - i <= size_t(more)) Invalid("The resource name is not valid UTF-8");
        for (int k = 1; k <= more; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) Invalid("The resource name is not valid UTF-8");
            c = c << 6 | (s[i + k] & 0x3F);
        }
        if ((more == 2 && c < 0x800) || (more == 3 && (c < 0x10000 || c > 0x10FFFF)) ||
            (c >= 0xD800 && c < 0xE000))
            Invalid("The resource name is not valid UTF-8");
        if (c == 0) Invalid("The resource name holds a zero character");
        if (c >= 0x10000) {
            out.push_back(uint16_t(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(uint16_t(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(uint16_t(c));
        }
        i += size_t(more) + 1;
    }
    return out;
}

void PutU16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void PutU32(std::vector<uint8_t>& b, uint32_t v) {
    PutU16(b, v & 0xFFFF);
    PutU16(b, v >> 16);
}

}  // namespace

void TDcrImageA::LoadFromStream(TStream& stream) {
    std::vector<uint8_t> file = stream.ReadAll();
    const uint8_t* data = file.data();
    const size_t size = file.size();
    if (size <= sizeof kEmptyEntry) Invalid("Signature err");
    if (std::memcmp(data, kEmptyEntry, sizeof kEmptyEntry) != 0) Invalid("Signature Error");

    std::vector<TResInfo> found;
    size_t unnamedFrom = 0;  // icons and cursors from here on wait for their group's name
    TByteReader r(data, size, "Resource entry truncated");
    for (uint64_t pos = sizeof kEmptyEntry; pos < size;) {
        r.Seek(pos);
        const uint32_t dataSize = r.U32LE();
        const uint32_t headerSize = r.U32LE();
        // The shortest header also guarantees that the walk moves on.
        if (headerSize < kShortestHeader || headerSize > size - pos)
            Invalid("Invalid resource header");
        const uint64_t dataPos = pos + headerSize;
        if (dataSize > size - dataPos) Invalid("Resource data outside the file");

        TByteReader header(data, size_t(dataPos - kFixedTail), "Invalid resource header");
        header.Seek(pos + 8);
        const TResId type = ReadResId(header);
        const TResId name = ReadResId(header);

        TResInfo info;
        info.ResType = type.IsOrdinal ? type.Ordinal : 0;
        info.TypeName = type.IsOrdinal ? std::string() : type.Name;
        info.ResName = name.Name;
        info.DataSize = dataSize;
        info.DataPos = uint32_t(dataPos);
        bool record = false;
        if (type.IsOrdinal) {
            switch (type.Ordinal) {
                case RT_CURSOR:  // the image follows a 4-byte hot spot
                    if (dataSize > 4) {
                        info.DataSize -= 4;
                        info.DataPos += 4;
                        record = true;
                    }
                    break;
                case RT_BITMAP:
                case RT_ICON:
                    record = dataSize > 0;
                    break;
                case RT_GROUP_CURSOR:
                case RT_GROUP_ICON:
                    // The group that lists icon or cursor images carries their resource name.
                    for (size_t i = unnamedFrom; i < found.size(); ++i)
                        if (found[i].ResType == RT_ICON || found[i].ResType == RT_CURSOR)
                            found[i].ResName = name.Name;
                    unnamedFrom = found.size();
                    break;
                default:
                    break;  // not a picture: skipped
            }
        } else {
            record = IsJpegType(type.Name) && dataSize > 0;
        }
        if (record) {
            info.Index = uint32_t(found.size());
            found.push_back(std::move(info));
        }
        pos = (dataPos + dataSize + 3) & ~uint64_t{3};
    }
    if (found.empty()) Invalid("The resource file holds no picture");

    const TResInfo& first = found.front();
    const uint8_t* p = data + first.DataPos;
    TBitmap picture;
    int bits = 0;
    if (first.ResType == RT_BITMAP) {
        ReadPackedBitmap(p, first.DataSize, picture);
        bits = HeaderBitCount(p, first.DataSize);
    } else if (first.ResType == RT_ICON || first.ResType == RT_CURSOR) {
        TIconImageA icon;
        icon.LoadImageData(p, first.DataSize);
        picture.Swap(icon.Bitmap());
        bits = HeaderBitCount(p, first.DataSize);
    } else {
        TJPEGImage jpeg;
        TMemoryStream js(std::vector<uint8_t>(p, p + first.DataSize));
        jpeg.LoadFromStream(js);
        jpeg.DecodeNeeded();
        picture.Swap(jpeg.Bitmap());
        bits = BitsPerPixel(picture.PixelFormat());
    }
    if (picture.Empty()) Invalid("The resource file holds no picture");

    bitmap_.Swap(picture);
    resources_ = std::move(found);
    current_ = 0;
    bitCount_ = bits;
    holder_ = std::make_shared<TDcrData>();
    holder_->Stream = std::move(file);
}

void TDcrImageA::SaveToStream(TStream& stream) {
    if (bitmap_.Empty()) Invalid("Cannot save an empty picture");
    if (ResourceName.empty()) Invalid("The resource name is empty");
    const std::vector<uint16_t> name = Utf16FromUtf8(ResourceName);
    if (name.size() > kMaxNameUnits) Invalid("The resource name is too long");

    // The bitmap as a bitmap file writes it, less the 14-byte file header: 1, 4 and 8 bits with
    // the depth's full colour table (zeros past the palette), 24 bits without one.
    const TBitmap* source = &bitmap_;
    TBitmap wide;
    const TPixelFormat pf = bitmap_.PixelFormat();
    if (pf != pf1bit && pf != pf4bit && pf != pf8bit && pf != pf24bit) {
        wide.Assign(bitmap_);
        wide.SetPixelFormat(pf24bit);
        source = &wide;
    }
    TMemoryStream bmp;
    SaveBitmapToStream(*source, bmp);
    std::vector<uint8_t>& dib = bmp.Memory();
    constexpr size_t kFileHeader = 14;
    if (dib.size() <= kFileHeader + 40) Invalid("Cannot save an empty picture");
    const int bits = BitsPerPixel(source->PixelFormat());
    const uint32_t colours = bits <= 8 ? 1u << bits : 0;
    uint8_t* info = dib.data() + kFileHeader;
    for (int i = 0; i < 4; ++i) info[32 + i] = uint8_t(colours >> (8 * i));  // colours used
    const uint64_t dataSize = dib.size() - kFileHeader;
    const uint32_t nameBytes = uint32_t((name.size() + 1) * 2 + 3) & ~3u;
    const uint32_t headerSize = 8 + 4 + nameBytes + kFixedTail;
    if (dataSize + headerSize + sizeof kEmptyEntry > UINT32_MAX) throw EPictureTooLarge();

    std::vector<uint8_t> head(kEmptyEntry, kEmptyEntry + sizeof kEmptyEntry);
    PutU32(head, uint32_t(dataSize));
    PutU32(head, headerSize);
    PutU16(head, 0xFFFF);
    PutU16(head, RT_BITMAP);
    for (uint16_t unit : name) PutU16(head, unit);
    head.resize(head.size() + nameBytes - name.size() * 2, 0);  // terminator and padding
    head.resize(head.size() + kFixedTail, 0);
    stream.Write(head.data(), int64_t(head.size()));
    stream.Write(dib.data() + kFileHeader, int64_t(dataSize));
}

std::string DcrResourceNameFor(const std::string& fileName, const std::string& resourceName) {
    std::string name =
        resourceName.empty() ? std::filesystem::path(fileName).stem().string() : resourceName;
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return name;
}

bool SaveDcr(const TBitmap& picture, const std::string& fileName, const std::string& resourceName,
             std::string* why) {
    try {
        TDcrImageA dcr;
        dcr.Bitmap().Assign(picture);
        ReduceTo8Bit(dcr.Bitmap());
        dcr.ResourceName = DcrResourceNameFor(fileName, resourceName);
        dcr.SaveToFile(fileName);
        return true;
    } catch (const std::exception& e) {
        if (why) *why = e.what();
        return false;
    }
}

}  // namespace tilvo
