// Exif preservation for Save As JPEG: probe, cut out, thumbnail replacement and insertion.
#include "ExifJpeg.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "ByteReader.h"
#include "Effector/Resample.h"
#include "JPEGImage.h"

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

TExifProbe ProbeExif(const std::string& fileName) {
    TExifProbe probe;
    std::error_code ec;
    if (fileName.empty() || !std::filesystem::exists(fileName, ec)) return probe;
    try {
        int64_t offset = 0, length = 0;
        if (!FindExifSegment(fileName, offset, length)) return probe;
        TMemoryStream segment;
        ExtractExifSegment(fileName, segment);
        TThumbnailTags tags;
        if (FindThumbnailTags(segment, tags)) {
            TThumbnailPlace place;
            probe.CanUpdateThumbnail = LocateExifThumbnail(segment.Memory(), place);
        }
        probe.CanCopy = true;
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
// The Save As JPEG writer

bool SaveJpegWithExif(const TBitmap& picture, const std::string& sourceFileName,
                      const std::string& targetFileName, int32_t quality, int32_t subsampling,
                      bool updateThumbnail, bool copyExif, bool grayscale, bool progressive) {
    TMemoryStream jpeg;
    const bool encoded = subsampling == 2
                             ? EncodeJpegFullChroma(picture, jpeg, progressive, quality, grayscale)
                             : EncodeJpegToStream(picture, jpeg, progressive, quality, grayscale);
    // A failed encoding writes nothing: the file that was there stays as it was.
    if (!encoded) return false;
    if (!copyExif) {
        jpeg.SaveToFile(targetFileName);
        return true;
    }
    TMemoryStream segment;
    ExtractExifSegment(sourceFileName, segment);
    TMemoryStream output;
    if (updateThumbnail && segment.Size() > 0) {
        TThumbnailPlace place;
        if (LocateExifThumbnail(segment.Memory(), place)) {
            // The segment length is 16 bits: a thumbnail that does not fit is made again at
            // lower quality; when none fits, nothing is written (the old one is never kept).
            TBitmap small;
            ShrinkForThumbnail(picture, small);
            for (int32_t q = 90; q >= 10; q -= 10) {
                TMemoryStream thumbnail;
                EncodeThumbnail(small, thumbnail, q);
                std::vector<uint8_t> rebuilt;
                const TRebuildResult r =
                    RebuildExifSegment(segment.Memory(), thumbnail.Memory(), rebuilt);
                if (r == TRebuildResult::TooLarge) continue;
                if (r != TRebuildResult::Ok) break;
                TMemoryStream s(std::move(rebuilt));
                InsertExifSegment(jpeg, s, output);
                output.SaveToFile(targetFileName);
                return true;
            }
            return false;
        }
    }
    InsertExifSegment(jpeg, segment, output);
    output.SaveToFile(targetFileName);
    return true;
}

}  // namespace tilvo
