// Exif preservation for Save As JPEG: probe, cut out, thumbnail replacement and insertion.
#include "ExifJpeg.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "ByteReader.h"
#include "Effector/Resample.h"
#include "HEIFImage.h"
#include "JPEGImage.h"
#include "JpegVerify.h"
#include "WebPImage.h"

namespace tilvo {

namespace {
[[noreturn]] void OutOfBounds() {
    throw Exception("Out of bounds");
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// Buffered readers

TxoFileStream::TxoFileStream(const std::string& fileName)
    : owned_(std::make_unique<TFileStream>(fileName, TFileStream::fmOpenRead)),
      source_(owned_.get()) {}

TxoFileStream::TxoFileStream(TStream& source) : source_(&source) {}

TxoFileStream::~TxoFileStream() = default;

int64_t TxoFileStream::Fill(int64_t pos, uint8_t* buf, int64_t count) {
    if (source_ == nullptr || pos < 0 || pos >= source_->Size()) return 0;
    source_->SetPosition(pos);
    return source_->Read(buf, count);
}

uint8_t TxoFileStream::ReadByte() {
    if (position_ < windowPos_ || position_ >= windowPos_ + windowCount_) {
        windowPos_ = position_;
        windowCount_ = Fill(position_, window_, kWindow);
        eof_ = windowCount_ <= 0;
        if (eof_) {
            windowCount_ = 0;
            OutOfBounds();
        }
    }
    return window_[position_++ - windowPos_];
}

uint16_t TxoFileStream::ReadU16() {
    const uint8_t a = ReadByte();
    const uint8_t b = ReadByte();
    return BigEndian ? uint16_t(a << 8 | b) : uint16_t(b << 8 | a);
}

uint32_t TxoFileStream::ReadU32() {
    const uint32_t a = ReadU16();
    const uint32_t b = ReadU16();
    return BigEndian ? (a << 16 | b) : (b << 16 | a);
}

std::string TxoFileStream::ReadString(size_t n) {
    std::string s;
    while (s.size() < n) {
        if (position_ < windowPos_ || position_ >= windowPos_ + windowCount_) {
            windowPos_ = position_;
            windowCount_ = std::max<int64_t>(0, Fill(position_, window_, kWindow));
            eof_ = windowCount_ == 0;
            if (eof_) break;
        }
        s.push_back(char(window_[position_++ - windowPos_]));
    }
    return s;
}

TxoMemoryStream::TxoMemoryStream(TStream& source) : data_(source.ReadAll()) {}

TxoMemoryStream::TxoMemoryStream(const uint8_t* data, size_t size) : data_(data, data + size) {}

int64_t TxoMemoryStream::Fill(int64_t pos, uint8_t* buf, int64_t count) {
    if (pos < 0 || uint64_t(pos) >= data_.size()) return 0;
    const int64_t n = std::min<int64_t>(count, int64_t(data_.size()) - pos);
    std::memcpy(buf, data_.data() + pos, size_t(n));
    return n;
}

void TxoExifMemStream::SetPosition(int64_t pos) {
    if (Base != 0 && uint64_t(pos) > uint64_t(Base) + 0xFFFF)
        throw Exception("Exif section out of bounds");
    TxoMemoryStream::SetPosition(pos);
}

// ---------------------------------------------------------------------------------------------
// Finding and cutting out the segment

bool FindExifSegment(TStream& source, int64_t& offset, int64_t& length) {
    offset = 0;
    length = 0;
    if (source.Size() == 0) return false;
    TxoExifStream r(source);
    if (r.ReadU16() != 0xFFD8) return false;
    for (;;) {
        if (r.ReadByte() != 0xFF) return false;
        const uint8_t marker = r.ReadByte();
        if (marker == 0xD9 || marker == 0xDA) return false;
        if (marker == 0xE1) {
            offset = r.Position() - 2;
            length = int64_t(r.ReadU16()) + 2;
            return r.ReadString(4) == "Exif";
        }
        const uint16_t len = r.ReadU16();
        if (len < 2) return false;  // a length that does not even cover itself
        r.SetPosition(r.Position() + len - 2);
    }
}

bool FindExifSegment(const std::string& fileName, int64_t& offset, int64_t& length) {
    TFileStream f(fileName, TFileStream::fmOpenRead);
    return FindExifSegment(f, offset, length);
}

bool ExtractExifSegment(TStream& source, TStream& segment) {
    int64_t offset = 0, length = 0;
    if (!FindExifSegment(source, offset, length)) return false;
    const std::vector<uint8_t> all = source.ReadAll();
    // A segment cut short by the end of the file is taken as far as it goes.
    const int64_t n = std::min<int64_t>(length, int64_t(all.size()) - offset);
    if (n > 0) segment.Write(all.data() + offset, n);
    return true;
}

bool ExtractExifSegment(const std::string& fileName, TStream& segment) {
    TFileStream f(fileName, TFileStream::fmOpenRead);
    return ExtractExifSegment(f, segment);
}

bool ExifSegmentFromBlock(const std::vector<uint8_t>& tiff, std::vector<uint8_t>& segment) {
    static const uint8_t kIntel[] = {'I', 'I', 0x2A, 0}, kMotorola[] = {'M', 'M', 0, 0x2A};
    if (tiff.size() < 8 || (std::memcmp(tiff.data(), kIntel, 4) != 0 &&
                            std::memcmp(tiff.data(), kMotorola, 4) != 0))
        return false;
    // The segment length counts itself, "Exif\0\0" and the block, in 16 bits.
    const size_t length = 2 + 6 + tiff.size();
    if (length > 0xFFFF) return false;
    segment.clear();
    segment.reserve(2 + length);
    const uint8_t head[] = {0xFF, 0xE1, uint8_t(length >> 8), uint8_t(length), 'E', 'x', 'i', 'f',
                            0, 0};
    segment.insert(segment.end(), std::begin(head), std::end(head));
    segment.insert(segment.end(), tiff.begin(), tiff.end());
    SetExifOrientationUpright(segment);
    return true;
}

bool ReadExifSourceSegment(const std::string& fileName, TStream& segment) {
    std::vector<uint8_t> head(64);  // room for the brands of an ISO media "ftyp" box
    {
        TFileStream f(fileName, TFileStream::fmOpenRead);
        head.resize(size_t(std::max<int64_t>(0, f.Read(head.data(), int64_t(head.size())))));
    }
    const bool heif = LooksLikeHeif(head), webp = LooksLikeWebP(head);
    if (!heif && !webp) {
        // A JPEG: its first APP1 segment, when that is Exif.
        return ExtractExifSegment(fileName, segment);
    }
    const std::vector<uint8_t> file = ReadWholeFile(fileName);
    std::vector<uint8_t> wrapped;
    if (!ExifSegmentFromBlock(heif ? ExtractHeifExif(file) : ExtractWebPExif(file), wrapped))
        return false;
    segment.Write(wrapped.data(), int64_t(wrapped.size()));
    return true;
}

// ---------------------------------------------------------------------------------------------
// The IFD chain

bool WalkIfdChain(TxoExifMemStream& r, uint32_t ifdOffset, TThumbnailTags& tags) {
    try {
        uint32_t offset = ifdOffset;
        for (int ifd = 0; ifd < kMaxIfdChain; ++ifd) {
            r.SetPosition(r.Base + offset);
            const uint16_t n = r.ReadU16();
            for (uint32_t i = 0; i < n; ++i) {
                const int64_t p = r.Position();
                const uint16_t tag = r.ReadU16();
                const uint16_t type = r.ReadU16();
                const uint32_t count = r.ReadU32();
                const uint32_t value = r.ReadU32();
                int64_t unit = 0;
                bool inlined = false;
                switch (type) {
                    case 1:
                    case 2:
                    case 7:
                        unit = 1;
                        inlined = count <= 4;
                        break;
                    case 3:
                        unit = 2;
                        inlined = count <= 2;
                        break;
                    case 4:
                    case 9:
                        unit = 4;
                        inlined = count < 2;
                        break;
                    case 5:
                    case 10:
                        unit = 8;
                        break;
                    default:
                        return false;
                }
                // The values must lie inside the segment: its last byte has to be readable.
                if (!inlined && count > 0) {
                    r.SetPosition(r.Base + value);
                    r.SetPosition(r.Base + int64_t(value) + int64_t(count) * unit - 1);
                    r.ReadByte();
                }
                if (tag == 0x0103) tags.Compression = p;
                if (tag == 0x0201) tags.Offset = p;
                if (tag == 0x0202) tags.Length = p;
                r.SetPosition(p + 12);
            }
            const uint32_t next = r.ReadU32();
            if (next > 0xFFFF) return false;
            if (next == 0) return true;
            offset = next;
        }
        return false;  // a chain this long is a loop or garbage
    } catch (const std::exception&) {
        return false;
    }
}

namespace {

bool FindThumbnailTagsIn(TxoExifMemStream& r, TThumbnailTags& tags) {
    tags = {};
    if (r.ReadByte() != 0xFF) return false;
    for (;;) {
        const uint8_t marker = r.ReadByte();
        if (marker == 0xE1) break;
        if (marker == 0xD9) return false;
        const uint16_t len = r.ReadU16();
        if (len < 2) return false;
        r.SetPosition(r.Position() + len - 2);
        if (r.ReadByte() != 0xFF) return false;
    }
    r.ReadU16();  // segment length
    if (r.ReadString(4) != "Exif" || r.ReadU16() != 0) return false;
    r.Base = r.Position();
    const uint16_t order = r.ReadU16();
    if (order == 0x4949)
        r.BigEndian = false;
    else if (order == 0x4D4D)
        r.BigEndian = true;
    else
        return false;
    if (r.ReadU16() != 42) return false;
    const uint32_t ifd0 = r.ReadU32();
    r.SetPosition(r.Base + ifd0);
    const uint16_t n = r.ReadU16();
    r.SetPosition(r.Base + int64_t(ifd0) + 12 * int64_t(n) + 2);
    const uint32_t ifd1 = r.ReadU32();
    return WalkIfdChain(r, ifd1, tags) && tags.Compression != 0 && tags.Offset != 0 &&
           tags.Length != 0;
}

}  // namespace

bool FindThumbnailTags(TStream& segment, TThumbnailTags& tags) {
    TxoExifMemStream r(segment);
    return FindThumbnailTagsIn(r, tags);
}

bool LocateExifThumbnail(const std::vector<uint8_t>& segment, TThumbnailPlace& place) {
    place = {};
    try {
        TxoExifMemStream r(segment.data(), segment.size());
        if (!FindThumbnailTagsIn(r, place.Tags)) return false;
        TByteReader b(segment.data(), segment.size(), "Out of bounds");
        b.Seek(10);
        place.BigEndian = b.U16LE() == 0x4D4D;
        const auto read32 = [&](int64_t pos) {
            b.Seek(uint64_t(pos));
            return place.BigEndian ? b.U32BE() : b.U32LE();
        };
        place.Offset = read32(place.Tags.Offset + 8);
        place.Length = read32(place.Tags.Length + 8);
        // The thumbnail has to lie inside the segment, or there is none to replace; and it must
        // not overlap the entries that describe it.
        const uint64_t start = 10 + uint64_t(place.Offset);
        const uint64_t end = start + place.Length;
        if (end > segment.size()) return false;
        for (int64_t entry : {place.Tags.Compression, place.Tags.Offset, place.Tags.Length}) {
            if (uint64_t(entry) + 12 > start && uint64_t(entry) < end) return false;
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// The thumbnail part of a block: IFD1, the IFDs after it and the pictures they point to

namespace {

struct TRange {
    size_t Begin = 0, End = 0;
};

// What the chain from IFD1 holds, as positions within the segment. A block is Readable when its
// "Exif" header, TIFF header and IFD0 (with its link to IFD1) lie inside it. Complete means the
// whole chain was followed: every IFD and every picture it points to lies inside the block, with
// value types and counts that make sense.
struct TExifLayout {
    bool Readable = false;
    bool BigEndian = false;
    bool Complete = false;
    size_t Ifd0Next = 0;       // position of IFD0's link to IFD1
    size_t Ifd1Next = 0;       // position of IFD1's link to the next IFD (0: no IFD1)
    std::vector<TRange> Ifds;  // IFD1 first, then the IFDs after it
    // JPEG thumbnails, strips and tiles of those IFDs, as a difference array over the segment
    // (+1 where a picture begins, -1 where it ends): a hostile chain may name millions of
    // overlapping strips, and zeroing them one by one would take minutes.
    std::vector<int32_t> Pictures;
};

constexpr size_t kTiffBase = 10;  // the TIFF header follows "Exif\0\0"

TExifLayout AnalyseExifBlock(const std::vector<uint8_t>& seg) {
    TExifLayout l;
    const size_t size = seg.size();
    // A segment cut short by the end of its file would swallow what follows it once inserted.
    if (size < kTiffBase + 8 || seg[0] != 0xFF || seg[1] != 0xE1 ||
        (size_t(seg[2]) << 8 | seg[3]) + 2 != size ||
        std::memcmp(seg.data() + 4, "Exif\0\0", 6) != 0)
        return l;
    if (seg[10] == 'M' && seg[11] == 'M')
        l.BigEndian = true;
    else if (!(seg[10] == 'I' && seg[11] == 'I'))
        return l;
    // Reads within the segment; false when the bytes are not all there.
    const auto in = [&](uint64_t pos, uint64_t n) { return pos <= size && n <= size - pos; };
    const auto u16 = [&](size_t pos) {
        return l.BigEndian ? uint16_t(seg[pos] << 8 | seg[pos + 1])
                           : uint16_t(seg[pos + 1] << 8 | seg[pos]);
    };
    const auto u32 = [&](size_t pos) {
        return l.BigEndian ? uint32_t(u16(pos)) << 16 | u16(pos + 2)
                           : uint32_t(u16(pos + 2)) << 16 | u16(pos);
    };
    if (u16(12) != 42) return l;
    const uint64_t ifd0 = kTiffBase + uint64_t(u32(14));
    if (!in(ifd0, 2)) return l;
    const uint64_t ifd0Next = ifd0 + 2 + 12 * uint64_t(u16(size_t(ifd0)));
    if (!in(ifd0Next, 4)) return l;
    l.Readable = true;
    l.Ifd0Next = size_t(ifd0Next);
    l.Pictures.assign(size + 1, 0);

    // The values of a SHORT or LONG entry (inline when they fit the 4-byte field); false when the
    // type is another or the values leave the block.
    const auto values = [&](size_t entry, std::vector<uint32_t>& out) {
        const uint16_t type = u16(entry + 2);
        const uint32_t count = u32(entry + 4);
        const uint64_t unit = type == 3 ? 2 : type == 4 ? 4 : 0;
        if (unit == 0 || count == 0 || count > size) return false;
        uint64_t at = entry + 8;
        if (unit * count > 4) at = kTiffBase + uint64_t(u32(entry + 8));
        if (!in(at, unit * count)) return false;
        out.clear();
        for (uint32_t i = 0; i < count; ++i)
            out.push_back(unit == 2 ? u16(size_t(at + 2 * i)) : u32(size_t(at + 4 * i)));
        return true;
    };
    bool sound = true;
    // A picture at `offset` (relative to the TIFF header) of `length` bytes; the part inside the
    // block is recorded, a part outside it makes the walk incomplete.
    const auto picture = [&](uint64_t offset, uint64_t length) {
        const uint64_t begin = kTiffBase + offset;
        if (length == 0) return;
        if (!in(begin, length)) sound = false;
        if (begin >= size) return;
        ++l.Pictures[size_t(begin)];
        --l.Pictures[size_t(std::min<uint64_t>(size, begin + length))];
    };
    uint32_t next = u32(l.Ifd0Next);
    std::vector<uint64_t> seen;
    std::vector<uint32_t> offsets, lengths;
    while (next != 0) {
        const uint64_t at = kTiffBase + uint64_t(next);
        if (seen.size() >= size_t(kMaxIfdChain) ||
            std::find(seen.begin(), seen.end(), at) != seen.end() || !in(at, 2)) {
            sound = false;
            break;
        }
        seen.push_back(at);
        const uint16_t n = u16(size_t(at));
        const uint64_t end = at + 2 + 12 * uint64_t(n) + 4;
        if (!in(at, end - at)) {
            sound = false;
            l.Ifds.push_back({size_t(at), size});
            break;
        }
        l.Ifds.push_back({size_t(at), size_t(end)});
        if (l.Ifds.size() == 1) l.Ifd1Next = size_t(end - 4);
        // JPEG thumbnail: offset 0x0201 and length 0x0202; strips 0x0111 / 0x0117; tiles
        // 0x0144 / 0x0145.
        struct TPair {
            uint16_t OffsetTag, LengthTag;
            size_t OffsetEntry = 0, LengthEntry = 0;
        };
        TPair pairs[] = {{0x0201, 0x0202}, {0x0111, 0x0117}, {0x0144, 0x0145}};
        for (uint16_t i = 0; i < n; ++i) {
            const size_t entry = size_t(at + 2 + 12 * uint64_t(i));
            const uint16_t tag = u16(entry);
            for (TPair& p : pairs) {
                if (tag == p.OffsetTag) p.OffsetEntry = entry;
                if (tag == p.LengthTag) p.LengthEntry = entry;
            }
        }
        for (const TPair& p : pairs) {
            if (p.OffsetEntry == 0 && p.LengthEntry == 0) continue;
            if (p.OffsetEntry == 0 || p.LengthEntry == 0 || !values(p.OffsetEntry, offsets) ||
                !values(p.LengthEntry, lengths) || offsets.size() != lengths.size()) {
                sound = false;
                continue;
            }
            for (size_t k = 0; k < offsets.size(); ++k) picture(offsets[k], lengths[k]);
        }
        next = u32(size_t(end - 4));
    }
    l.Complete = sound;
    return l;
}

void Zero(std::vector<uint8_t>& seg, TRange r) {
    r.End = std::min(r.End, seg.size());
    if (r.Begin < r.End)
        std::fill(seg.begin() + std::ptrdiff_t(r.Begin), seg.begin() + std::ptrdiff_t(r.End), 0);
}

void ZeroPictures(std::vector<uint8_t>& seg, const TExifLayout& l) {
    int32_t depth = 0;
    for (size_t i = 0; i < seg.size() && i < l.Pictures.size(); ++i) {
        depth += l.Pictures[i];
        if (depth > 0) seg[i] = 0;
    }
}

void ZeroLink(std::vector<uint8_t>& seg, size_t at) {
    if (at != 0) Zero(seg, {at, at + 4});
}

// Every JPEG stream in the block, from its start (FF D8, then the FF of its first marker) through
// the next FF D9, or to the block's end. A maker note may hold a preview larger than the thumbnail.
void ZeroJpegStreams(std::vector<uint8_t>& seg) {
    for (size_t i = kTiffBase; i + 2 < seg.size(); ++i) {
        if (seg[i] != 0xFF || seg[i + 1] != 0xD8 || seg[i + 2] != 0xFF) continue;
        size_t end = seg.size();
        for (size_t j = i + 2; j + 1 < seg.size(); ++j)
            if (seg[j] == 0xFF && seg[j + 1] == 0xD9) {
                end = j + 2;
                break;
            }
        Zero(seg, {i, end});
        i = end - 1;
    }
}

// False when the block has to be dropped instead: a hostile block whose IFD1 overlaps its own
// header or IFD0 can change shape as it is zeroed, so the result is read again until IFD0 links
// to nothing.
bool RemoveThumbnail(std::vector<uint8_t>& seg, const TExifLayout& layout) {
    TExifLayout l = layout;
    for (int round = 0; round < 4; ++round) {
        for (const TRange& r : l.Ifds) Zero(seg, r);
        ZeroPictures(seg, l);
        ZeroJpegStreams(seg);
        ZeroLink(seg, l.Ifd0Next);
        l = AnalyseExifBlock(seg);
        if (!l.Readable) return false;
        if (l.Ifds.empty() && l.Complete) return true;
    }
    return false;
}

// The thumbnail can be made again in place: the chain is sound and IFD1 itself holds the JPEG
// thumbnail's entries, lying inside the block.
bool Regenerable(const std::vector<uint8_t>& seg, const TExifLayout& l) {
    if (!l.Readable || !l.Complete || l.Ifds.empty()) return false;
    TThumbnailPlace place;
    if (!LocateExifThumbnail(seg, place)) return false;
    const TRange& ifd1 = l.Ifds.front();
    for (int64_t entry : {place.Tags.Compression, place.Tags.Offset, place.Tags.Length})
        if (size_t(entry) < ifd1.Begin || size_t(entry) + 12 > ifd1.End) return false;
    return true;
}

}  // namespace

bool RemoveExifThumbnail(std::vector<uint8_t>& segment) {
    const TExifLayout l = AnalyseExifBlock(segment);
    if (!l.Readable) return false;
    std::vector<uint8_t> removed = segment;
    if (!RemoveThumbnail(removed, l)) return false;
    segment = std::move(removed);
    return true;
}

bool CanRegenerateExifThumbnail(const std::vector<uint8_t>& segment) {
    return Regenerable(segment, AnalyseExifBlock(segment));
}

TExifProbe ProbeExif(const std::string& fileName) {
    TExifProbe probe;
    std::error_code ec;
    if (fileName.empty() || !std::filesystem::exists(fileName, ec)) return probe;
    try {
        TMemoryStream segment;
        if (!ReadExifSourceSegment(fileName, segment)) return probe;
        const TExifLayout layout = AnalyseExifBlock(segment.Memory());
        // A block whose header or IFD0 cannot be read, or whose thumbnail part cannot be removed
        // for good, is not copied at all.
        if (!layout.Readable) return probe;
        std::vector<uint8_t> trial = segment.Memory();
        if (!RemoveThumbnail(trial, layout)) return probe;
        probe.CanCopy = true;
        probe.CanUpdateThumbnail = Regenerable(segment.Memory(), layout);
    } catch (const Exception&) {
        // A block that cannot be read is neither copied nor updated: copying it could carry an
        // old thumbnail of the hidden picture along, and refusing it keeps Save As usable.
        return TExifProbe{};
    }
    return probe;
}

// ---------------------------------------------------------------------------------------------
// The thumbnail

TFitSize FitWithin(int32_t width, int32_t height, int32_t maxWidth, int32_t maxHeight) {
    if (width <= maxWidth && height <= maxHeight) return {width, height};
    TFitSize s;
    if (height < width) {
        s.Width = maxWidth;
        s.Height = int32_t(std::nearbyint(double(maxWidth) * height / width));
    } else {
        s.Width = int32_t(std::nearbyint(double(maxHeight) * width / height));
        s.Height = maxHeight;
    }
    s.Width = std::max(1, s.Width);
    s.Height = std::max(1, s.Height);
    return s;
}

namespace {

// The picture shrunk to the thumbnail's size.
void ShrinkForThumbnail(const TBitmap& picture, TBitmap& small) {
    small.Assign(picture);
    const TFitSize size = FitWithin(small.Width(), small.Height(), 160, 160);
    ResampleAreaAverage(small, size.Width, size.Height);
}

// A TJPEGImage at its defaults apart from the quality: baseline, 4:2:0, colour.
void EncodeThumbnail(const TBitmap& small, TStream& stream, int32_t quality) {
    TJPEGImage jpeg;
    jpeg.SetCompressionQuality(quality);
    jpeg.Assign(small);
    stream.SetPosition(0);
    jpeg.SaveToStream(stream);
    stream.SetPosition(0);
}

}  // namespace

void MakeExifThumbnail(const TBitmap& picture, TStream& stream, int32_t quality) {
    TBitmap small;
    ShrinkForThumbnail(picture, small);
    EncodeThumbnail(small, stream, quality);
}

TRebuildResult RebuildExifSegment(const std::vector<uint8_t>& segment,
                                  const std::vector<uint8_t>& thumbnail,
                                  std::vector<uint8_t>& rebuilt) {
    TThumbnailPlace place;
    if (!LocateExifThumbnail(segment, place)) return TRebuildResult::NoThumbnail;
    const size_t start = 10 + size_t(place.Offset);
    const size_t end = start + place.Length;
    const auto put32 = [&](std::vector<uint8_t>& out, size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            out[at + size_t(i)] = uint8_t(value >> (place.BigEndian ? 24 - 8 * i : 8 * i));
    };
    std::vector<uint8_t> out;
    if (end == segment.size()) {
        // The usual layout, the thumbnail last: the new one takes the old one's place.
        const size_t newSize = start + thumbnail.size();
        if (newSize - 2 > 0xFFFF) return TRebuildResult::TooLarge;
        out.reserve(newSize);
        out.insert(out.end(), segment.begin(), segment.begin() + std::ptrdiff_t(start));
        out.insert(out.end(), thumbnail.begin(), thumbnail.end());
    } else {
        // Data follows the thumbnail, and offsets in the block point at it: nothing may move.
        // The old thumbnail is blanked and the new one appended, with both entries updated.
        const size_t newSize = segment.size() + thumbnail.size();
        if (newSize - 2 > 0xFFFF) return TRebuildResult::TooLarge;
        out.reserve(newSize);
        out = segment;
        std::fill(out.begin() + std::ptrdiff_t(start), out.begin() + std::ptrdiff_t(end), 0);
        out.insert(out.end(), thumbnail.begin(), thumbnail.end());
        put32(out, size_t(place.Tags.Offset) + 8, uint32_t(segment.size() - 10));
    }
    // The length entry's value field takes the new length in the block's byte order.
    put32(out, size_t(place.Tags.Length) + 8, uint32_t(thumbnail.size()));
    out[2] = uint8_t((out.size() - 2) >> 8);
    out[3] = uint8_t(out.size() - 2);
    rebuilt = std::move(out);
    return TRebuildResult::Ok;
}

bool ReplaceExifThumbnail(TStream& segment, TStream& jpeg, TStream& output, TStream& thumbnail) {
    std::vector<uint8_t> rebuilt;
    if (RebuildExifSegment(segment.ReadAll(), thumbnail.ReadAll(), rebuilt) != TRebuildResult::Ok)
        return false;
    TMemoryStream s(std::move(rebuilt));
    InsertExifSegment(jpeg, s, output);
    return true;
}

void InsertExifSegment(TStream& jpeg, TStream& segment, TStream& output) {
    const std::vector<uint8_t> j = jpeg.ReadAll();
    const std::vector<uint8_t> s = segment.ReadAll();
    // After the start of image, past every APP0 segment.
    size_t pos = std::min<size_t>(2, j.size());
    while (pos + 4 <= j.size() && j[pos] == 0xFF && j[pos + 1] == 0xE0) {
        const size_t len = size_t(j[pos + 2]) << 8 | j[pos + 3];
        pos = std::min(j.size(), pos + 2 + len);
    }
    output.Write(j.data(), int64_t(pos));
    if (!s.empty()) output.Write(s.data(), int64_t(s.size()));
    if (j.size() > pos) output.Write(j.data() + pos, int64_t(j.size() - pos));
    output.SetPosition(0);
}

// ---------------------------------------------------------------------------------------------
// Tags changed in a copied block: orientation, picture size, location and personal data

namespace {

// Bounds-checked access to the IFDs of a TIFF structure that starts at `base` within a buffer.
// Every position is checked against the buffer before it is read or written; offsets read from
// the data are relative to `base`.
struct TIfdView {
    const uint8_t* Data = nullptr;
    size_t Size = 0;
    size_t Base = 0;
    bool Big = false;

    // False when there is no "II" or "MM" header with the number 42 at `base`.
    bool Open(const uint8_t* data, size_t size, size_t base) {
        Data = data;
        Size = size;
        Base = base;
        if (!In(base, 8)) return false;
        if (data[base] == 'M' && data[base + 1] == 'M')
            Big = true;
        else if (data[base] == 'I' && data[base + 1] == 'I')
            Big = false;
        else
            return false;
        return U16(base + 2) == 42;
    }
    bool In(uint64_t pos, uint64_t n) const { return pos <= Size && n <= Size - pos; }
    uint16_t U16(size_t pos) const {
        return Big ? uint16_t(Data[pos] << 8 | Data[pos + 1])
                   : uint16_t(Data[pos + 1] << 8 | Data[pos]);
    }
    uint32_t U32(size_t pos) const {
        return Big ? uint32_t(U16(pos)) << 16 | U16(pos + 2)
                   : uint32_t(U16(pos + 2)) << 16 | U16(pos);
    }
    uint32_t Ifd0() const { return U32(Base + 4); }
    // The IFD at `offset`: its position and the number of its entries that lie wholly inside the
    // buffer; false when not even its entry count does.
    bool Ifd(uint32_t offset, size_t& at, size_t& count) const {
        const uint64_t pos = uint64_t(Base) + offset;
        if (offset == 0 || !In(pos, 2)) return false;
        at = size_t(pos);
        const uint64_t fit = (Size - at - 2) / 12;
        count = size_t(std::min<uint64_t>(U16(at), fit));
        return true;
    }
    static size_t Entry(size_t at, size_t i) { return at + 2 + 12 * i; }
    // The link to the next IFD; 0 when it does not lie inside the buffer.
    uint32_t Next(uint32_t offset) const {
        size_t at = 0, count = 0;
        if (!Ifd(offset, at, count)) return 0;
        const uint64_t link = uint64_t(at) + 2 + 12 * uint64_t(U16(at));
        return In(link, 4) ? U32(size_t(link)) : 0;
    }
    // The entry of `tag` in the IFD at `offset`; 0 when there is none.
    size_t Find(uint32_t offset, uint16_t tag) const {
        size_t at = 0, count = 0;
        if (!Ifd(offset, at, count)) return 0;
        for (size_t i = 0; i < count; ++i)
            if (U16(Entry(at, i)) == tag) return Entry(at, i);
        return 0;
    }
    // A pointer entry (an IFD offset held in a LONG or IFD value); 0 when absent or malformed.
    uint32_t Pointer(uint32_t ifdOffset, uint16_t tag) const {
        const size_t e = Find(ifdOffset, tag);
        if (e == 0) return 0;
        const uint16_t type = U16(e + 2);
        if ((type != 4 && type != 13) || U32(e + 4) != 1) return 0;
        return U32(e + 8);
    }
    // The bytes an entry's values take: inline in its 4-byte field when they fit, else at its
    // offset; clamped to the buffer (a part outside it is nobody's to read). Unknown types give
    // the 4-byte field, which may hold an offset.
    TRange Values(size_t entry) const {
        static constexpr uint8_t kUnit[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
        const uint16_t type = U16(entry + 2);
        const uint64_t unit = type < 14 ? kUnit[type] : 0;
        const uint64_t bytes = unit * U32(entry + 4);
        if (unit == 0 || bytes <= 4) return {entry + 8, entry + 12};
        const uint64_t begin = uint64_t(Base) + U32(entry + 8);
        if (begin >= Size) return {0, 0};
        return {size_t(begin), size_t(std::min<uint64_t>(Size, begin + bytes))};
    }
};

void Put16(std::vector<uint8_t>& seg, const TIfdView& v, size_t at, uint32_t value) {
    seg[at + (v.Big ? 0 : 1)] = uint8_t(value >> 8);
    seg[at + (v.Big ? 1 : 0)] = uint8_t(value);
}

void Put32(std::vector<uint8_t>& seg, const TIfdView& v, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        seg[at + size_t(i)] = uint8_t(value >> (v.Big ? 24 - 8 * i : 8 * i));
}

// Sets a one-value SHORT or LONG entry; entries of another shape are left alone.
void SetNumber(std::vector<uint8_t>& seg, const TIfdView& v, size_t entry, uint32_t value) {
    if (entry == 0 || v.U32(entry + 4) != 1) return;
    const uint16_t type = v.U16(entry + 2);
    if (type == 3 && value <= 0xFFFF) {
        Put16(seg, v, entry + 8, value);
        Put16(seg, v, entry + 10, 0);
    } else if (type == 4) {
        Put32(seg, v, entry + 8, value);
    }
}

constexpr uint16_t kTagOrientation = 0x0112;
constexpr uint16_t kTagExifIfd = 0x8769;
constexpr uint16_t kTagGpsIfd = 0x8825;

// Tags that name or describe the person, the place or the camera body, zeroed in IFD0, IFD1 and
// the Exif IFD.
constexpr uint16_t kPersonalTags[] = {
    0x010E,  // ImageDescription
    0x013B,  // Artist
    0x8298,  // Copyright
    0x9286,  // UserComment
    0x927C,  // MakerNote
    0xA420,  // ImageUniqueID
    0xA430,  // CameraOwnerName
    0xA431,  // BodySerialNumber
    0xA435,  // LensSerialNumber
    0x9C9B,  // XPTitle
    0x9C9C,  // XPComment
    0x9C9D,  // XPAuthor
    0x9C9E,  // XPKeywords
    0x9C9F,  // XPSubject
};

bool OpenSegment(const std::vector<uint8_t>& seg, TIfdView& v) {
    if (seg.size() < kTiffBase + 8 || seg[0] != 0xFF || seg[1] != 0xE1 ||
        std::memcmp(seg.data() + 4, "Exif\0\0", 6) != 0)
        return false;
    return v.Open(seg.data(), seg.size(), kTiffBase);
}

}  // namespace

void SetExifOrientationUpright(std::vector<uint8_t>& segment) {
    TIfdView v;
    if (!OpenSegment(segment, v)) return;
    const uint32_t ifd0 = v.Ifd0();
    SetNumber(segment, v, v.Find(ifd0, kTagOrientation), 1);
    // A thumbnail IFD with an Orientation of its own: the thumbnail is made upright as well.
    const uint32_t ifd1 = v.Next(ifd0);
    if (ifd1 != 0 && ifd1 != ifd0) SetNumber(segment, v, v.Find(ifd1, kTagOrientation), 1);
}

void SetExifPictureSize(std::vector<uint8_t>& segment, uint32_t width, uint32_t height) {
    TIfdView v;
    if (!OpenSegment(segment, v)) return;
    const uint32_t ifd0 = v.Ifd0();
    SetNumber(segment, v, v.Find(ifd0, 0x0100), width);   // ImageWidth
    SetNumber(segment, v, v.Find(ifd0, 0x0101), height);  // ImageLength
    const uint32_t exif = v.Pointer(ifd0, kTagExifIfd);
    SetNumber(segment, v, v.Find(exif, 0xA002), width);   // PixelXDimension
    SetNumber(segment, v, v.Find(exif, 0xA003), height);  // PixelYDimension
}

void RemoveExifPersonalData(std::vector<uint8_t>& segment) {
    TIfdView v;
    if (!OpenSegment(segment, v)) return;
    const uint32_t ifd0 = v.Ifd0();
    const uint32_t ifd1 = v.Next(ifd0);
    const uint32_t exif = v.Pointer(ifd0, kTagExifIfd);
    const uint32_t gps = v.Pointer(ifd0, kTagGpsIfd);
    // Every range is found before anything is zeroed: in a hostile block the structures may
    // overlap, and zeroing one would change what the next one reads.
    std::vector<TRange> ranges;
    for (uint32_t ifd : {ifd0, ifd1, exif}) {
        size_t at = 0, count = 0;
        if (!v.Ifd(ifd, at, count)) continue;
        for (size_t i = 0; i < count; ++i) {
            const size_t e = TIfdView::Entry(at, i);
            const uint16_t tag = v.U16(e);
            if (std::find(std::begin(kPersonalTags), std::end(kPersonalTags), tag) !=
                std::end(kPersonalTags))
                ranges.push_back(v.Values(e));
        }
    }
    // The GPS IFD becomes an empty IFD: its entry count, its entries, their values and its link.
    size_t at = 0, count = 0;
    if (v.Ifd(gps, at, count)) {
        for (size_t i = 0; i < count; ++i) ranges.push_back(v.Values(TIfdView::Entry(at, i)));
        ranges.push_back({at, TIfdView::Entry(at, count)});
        if (count == v.U16(at))
            ranges.push_back({TIfdView::Entry(at, count), TIfdView::Entry(at, count) + 4});
    }
    for (const TRange& r : ranges) Zero(segment, r);
}

bool ExifThumbnailOffset(const uint8_t* tiff, size_t size, uint32_t& offset) {
    TIfdView v;
    if (!v.Open(tiff, size, 0)) return false;
    const uint32_t ifd0 = v.Ifd0();
    const uint32_t ifd1 = v.Next(ifd0);
    if (ifd1 == 0 || ifd1 == ifd0) return false;
    const size_t e = v.Find(ifd1, 0x0201);
    if (e == 0 || v.U32(e + 4) != 1) return false;
    const uint16_t type = v.U16(e + 2);
    if (type != 3 && type != 4) return false;
    offset = type == 3 ? v.U16(e + 8) : v.U32(e + 8);
    return true;
}

int ExifOrientationOfJpeg(const uint8_t* data, size_t size) {
    // The markers up to the first start of scan; the first Exif APP1 segment holds the tag.
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return 1;
    size_t pos = 2;
    while (pos + 4 <= size && data[pos] == 0xFF) {
        const uint8_t marker = data[pos + 1];
        if (marker == 0xFF) {  // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9) break;
        const size_t len = size_t(data[pos + 2]) << 8 | data[pos + 3];
        if (len < 2) break;
        const size_t payload = pos + 4, end = std::min(size, pos + 2 + len);
        if (marker == 0xE1 && end >= payload + 6 &&
            std::memcmp(data + payload, "Exif\0\0", 6) == 0) {
            TIfdView v;
            if (!v.Open(data + payload + 6, end - payload - 6, 0)) return 1;
            const size_t e = v.Find(v.Ifd0(), kTagOrientation);
            if (e == 0 || v.U32(e + 4) != 1) return 1;
            const uint16_t type = v.U16(e + 2);
            const uint32_t value = type == 3 ? v.U16(e + 8) : type == 4 ? v.U32(e + 8) : 1;
            return value >= 1 && value <= 8 ? int(value) : 1;
        }
        pos += 2 + len;
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// The Save As JPEG writer

bool SaveJpegWithExif(const TBitmap& picture, const std::string& sourceFileName,
                      const std::string& targetFileName, int32_t quality, int32_t subsampling,
                      bool updateThumbnail, bool copyExif, bool grayscale, bool progressive,
                      bool removePersonalData) {
    TMemoryStream jpeg;
    const bool encoded = subsampling == 2
                             ? EncodeJpegFullChroma(picture, jpeg, progressive, quality, grayscale)
                             : EncodeJpegToStream(picture, jpeg, progressive, quality, grayscale);
    // A failed encoding writes nothing: the file that was there stays as it was.
    if (!encoded) return false;
    return SaveEncodedJpegWithExif(picture, jpeg, sourceFileName, targetFileName, updateThumbnail,
                                   copyExif, removePersonalData);
}

namespace {

// SaveEncodedJpegWithExif for a picture of width × height; without `picture` no thumbnail can be
// made, and a carried block loses its own.
void SaveEncodedWithExif(const TBitmap* picture, int32_t width, int32_t height,
                         TMemoryStream& jpeg, const std::string& sourceFileName,
                         const std::string& targetFileName, bool updateThumbnail, bool copyExif,
                         bool removePersonalData) {
    if (!copyExif) {
        if (picture != nullptr)
            WriteVerifiedJpeg(targetFileName, *picture, jpeg.Memory(), false);
        else
            WriteVerifiedJpeg(targetFileName, jpeg.Memory());
        return;
    }
    TMemoryStream cut;
    ReadExifSourceSegment(sourceFileName, cut);
    std::vector<uint8_t>& segment = cut.Memory();
    // The saved picture is upright and has its own size; what the block says of it must agree.
    SetExifOrientationUpright(segment);
    SetExifPictureSize(segment, uint32_t(width), uint32_t(height));
    if (removePersonalData) RemoveExifPersonalData(segment);
    // The old thumbnail shows the picture as it was before editing: it is never carried over.
    // It is made again from the saved picture where it can be, otherwise removed.
    std::vector<uint8_t> carried;
    TBitmap small;  // the picture at the thumbnail's size
    const TExifLayout layout = AnalyseExifBlock(segment);
    if (picture != nullptr && layout.Readable && updateThumbnail && Regenerable(segment, layout)) {
        // Only IFD1's entries are kept, to describe the new thumbnail: the IFDs after it, every
        // picture the chain points to and every other JPEG stream in the block go first.
        std::vector<uint8_t> cleaned = segment;
        ZeroLink(cleaned, layout.Ifd1Next);
        for (size_t i = 1; i < layout.Ifds.size(); ++i) Zero(cleaned, layout.Ifds[i]);
        ZeroPictures(cleaned, layout);
        ZeroJpegStreams(cleaned);
        // The segment length is 16 bits: a thumbnail that does not fit is made again at lower
        // quality; when none fits, the thumbnail is removed instead. So it is when no encoding
        // shows the picture within what the leak check allows: the check would refuse the save.
        // Small pictures with sharp colour edges lose too much to 4:2:0; their thumbnail is
        // tried at 4:4:4 before a lower quality.
        ShrinkForThumbnail(*picture, small);
        bool placeable = true;
        for (int32_t q = 90; q >= 10 && carried.empty() && placeable; q -= 10) {
            for (bool fullChroma : {false, true}) {
                TMemoryStream thumbnail;
                if (fullChroma)
                    EncodeJpegFullChroma(small, thumbnail, false, q, false);
                else
                    EncodeThumbnail(small, thumbnail, q);
                const TRebuildResult r = RebuildExifSegment(cleaned, thumbnail.Memory(), carried);
                if (r == TRebuildResult::NoThumbnail) placeable = false;
                if (r != TRebuildResult::Ok) break;
                const double difference = ThumbnailDifference(thumbnail.Memory(), small);
                if (difference >= 0 && difference <= kMaxThumbnailDifference) break;
                carried.clear();
            }
        }
    }
    const bool thumbnail = !carried.empty();
    if (carried.empty() && layout.Readable) {
        carried = segment;
        if (!RemoveThumbnail(carried, layout)) carried.clear();
    }
    // A block that cannot be read (or no block at all) is not carried over.
    TMemoryStream s(std::move(carried)), output;
    InsertExifSegment(jpeg, s, output);
    if (picture != nullptr)
        WriteVerifiedJpeg(targetFileName, *picture, output.Memory(), thumbnail,
                          thumbnail ? &small : nullptr);
    else
        WriteVerifiedJpeg(targetFileName, output.Memory());
}

}  // namespace

bool SaveEncodedJpegWithExif(const TBitmap& picture, TMemoryStream& jpeg,
                             const std::string& sourceFileName, const std::string& targetFileName,
                             bool updateThumbnail, bool copyExif, bool removePersonalData) {
    SaveEncodedWithExif(&picture, picture.Width(), picture.Height(), jpeg, sourceFileName,
                        targetFileName, updateThumbnail, copyExif, removePersonalData);
    return true;
}

void SaveEncodedJpegWithExif(int32_t width, int32_t height, TMemoryStream& jpeg,
                             const std::string& sourceFileName, const std::string& targetFileName,
                             bool copyExif, bool removePersonalData) {
    SaveEncodedWithExif(nullptr, width, height, jpeg, sourceFileName, targetFileName, false,
                        copyExif, removePersonalData);
}

}  // namespace tilvo
