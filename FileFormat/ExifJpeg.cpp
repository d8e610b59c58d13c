// Exif preservation for Save As JPEG: probe, cut out, thumbnail replacement and insertion.
#include "ExifJpeg.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "ExifBuild.h"
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

std::vector<uint8_t> ReadExifSourceBlock(const std::string& fileName) {
    std::vector<uint8_t> head(64);  // room for the brands of an ISO media "ftyp" box
    {
        TFileStream f(fileName, TFileStream::fmOpenRead);
        head.resize(size_t(std::max<int64_t>(0, f.Read(head.data(), int64_t(head.size())))));
    }
    const bool heif = LooksLikeHeif(head), webp = LooksLikeWebP(head);
    if (heif || webp) {
        const std::vector<uint8_t> file = ReadWholeFile(fileName);
        return heif ? ExtractHeifExif(file) : ExtractWebPExif(file);
    }
    // A JPEG: its first APP1 segment, when that is Exif.
    TMemoryStream segment;
    if (!ExtractExifSegment(fileName, segment)) return {};
    const std::span<const uint8_t> block = ExifBlockOfSegment(segment.Memory());
    return {block.begin(), block.end()};
}

TExifProbe ProbeExif(const std::string& fileName) {
    TExifProbe probe;
    std::error_code ec;
    if (fileName.empty() || !std::filesystem::exists(fileName, ec)) return probe;
    try {
        // A block is offered when a new one can be built from it: it has a TIFF header and IFD0.
        // The thumbnail is always made anew from the saved picture, so it can be asked for
        // whenever the block can be copied.
        probe.CanCopy = !BuildExifBlock(ReadExifSourceBlock(fileName), {}).empty();
        probe.CanUpdateThumbnail = probe.CanCopy;
    } catch (const Exception&) {
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
// Reading single tags of a source block

bool ExifThumbnailOffset(const uint8_t* tiff, size_t size, uint32_t& offset) {
    return ReadExifNumber({tiff, size}, TExifIfd::Ifd1, 0x0201, offset);
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
            uint32_t value = 1;
            ReadExifNumber({data + payload + 6, end - payload - 6}, TExifIfd::Ifd0, 0x0112, value);
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

void MakeCarriedExif(const std::string& sourceFileName, int32_t width, int32_t height,
                     const std::vector<uint8_t>& jpeg, bool updateThumbnail,
                     bool removePersonalData, TCarriedExif& carried) {
    carried.Segment.clear();
    carried.Thumbnail.clear();
    const std::vector<uint8_t> block = ReadExifSourceBlock(sourceFileName);
    if (block.empty()) return;
    TExifBuildOptions options;
    options.KeepPersonalData = !removePersonalData;
    options.Width = uint32_t(width);
    options.Height = uint32_t(height);
    if (updateThumbnail) {
        // The thumbnail shows the saved picture as the file holds it: it is made from the
        // encoding, so the whole-picture and the banded saves write the same one. The segment length is 16 bits: a thumbnail that does not
        // fit is made again at lower quality, and so is one that strays from the picture further
        // than the save's check allows. Small pictures with sharp colour edges lose too much to
        // 4:2:0; their thumbnail is tried at 4:4:4 before a lower quality. When none passes, the
        // block is written without a thumbnail.
        const TFitSize size = FitWithin(width, height, 160, 160);
        const bool shrunk = DecodeReduced(jpeg, size.Width, size.Height, carried.Reduced);
        for (int32_t q = 90; shrunk && q >= 10 && carried.Segment.empty(); q -= 10) {
            for (bool fullChroma : {false, true}) {
                TMemoryStream thumbnail;
                if (fullChroma)
                    EncodeJpegFullChroma(carried.Reduced, thumbnail, false, q, false);
                else
                    EncodeThumbnail(carried.Reduced, thumbnail, q);
                const double difference = ThumbnailDifference(thumbnail.Memory(), carried.Reduced);
                if (difference < 0 || difference > kMaxThumbnailDifference) continue;
                options.Thumbnail = thumbnail.Memory();
                carried.Segment = BuildExifSegment(block, options);
                if (carried.Segment.empty()) break;  // too large: lower the quality
                carried.Thumbnail = thumbnail.Memory();
                break;
            }
        }
        options.Thumbnail = {};
    }
    if (carried.Segment.empty()) {
        carried.Thumbnail.clear();
        carried.Segment = BuildExifSegment(block, options);
    }
}

namespace {

// SaveEncodedJpegWithExif for a picture of width × height.
void SaveEncodedWithExif(int32_t width, int32_t height,
                         TMemoryStream& jpeg, const std::string& sourceFileName,
                         const std::string& targetFileName, bool updateThumbnail, bool copyExif,
                         bool removePersonalData) {
    TCarriedExif carried;
    if (copyExif)
        MakeCarriedExif(sourceFileName, width, height, jpeg.Memory(), updateThumbnail,
                        removePersonalData, carried);
    const bool personal = copyExif && !removePersonalData;
    TMemoryStream s(std::move(carried.Segment)), output;
    InsertExifSegment(jpeg, s, output);
    // The file may hold only what was just written: this thumbnail or none, personal tags only
    // when they were kept, the picture's own size.
    TJpegExpectations expected;
    expected.Thumbnail = carried.Thumbnail;
    expected.ThumbnailKnown = true;
    expected.Reduced = carried.Thumbnail.empty() ? nullptr : &carried.Reduced;
    expected.PersonalAllowed = personal;
    expected.Width = width;
    expected.Height = height;
    WriteVerifiedJpeg(targetFileName, output.Memory(), expected);
}

}  // namespace

bool SaveEncodedJpegWithExif(const TBitmap& picture, TMemoryStream& jpeg,
                             const std::string& sourceFileName, const std::string& targetFileName,
                             bool updateThumbnail, bool copyExif, bool removePersonalData) {
    SaveEncodedWithExif(picture.Width(), picture.Height(), jpeg, sourceFileName,
                        targetFileName, updateThumbnail, copyExif, removePersonalData);
    return true;
}

void SaveEncodedJpegWithExif(int32_t width, int32_t height, TMemoryStream& jpeg,
                             const std::string& sourceFileName, const std::string& targetFileName,
                             bool copyExif, bool removePersonalData, bool updateThumbnail) {
    SaveEncodedWithExif(width, height, jpeg, sourceFileName, targetFileName,
                        updateThumbnail, copyExif, removePersonalData);
}

}  // namespace tilvo
