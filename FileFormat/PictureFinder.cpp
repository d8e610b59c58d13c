// Picture headers, the TIFF walker and base64 runs: every offset and size checked before use.
#include "PictureFinder.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace tilvo {

namespace {

using TBytes = std::span<const uint8_t>;

uint32_t Be16(const uint8_t* p) {
    return uint32_t(p[0]) << 8 | p[1];
}
uint32_t Be32(const uint8_t* p) {
    return Be16(p) << 16 | Be16(p + 2);
}
uint32_t Le16(const uint8_t* p) {
    return uint32_t(p[1]) << 8 | p[0];
}
uint32_t Le32(const uint8_t* p) {
    return Le16(p + 2) << 16 | Le16(p);
}

// The bytes [pos, pos + n) are there.
bool Has(TBytes b, size_t pos, uint64_t n) {
    return pos <= b.size() && n <= b.size() - pos;
}

bool Counts(int64_t w, int64_t h) {
    return w >= kMinFoundSide && h >= kMinFoundSide;
}

bool Found(TFoundHeader& f, const char* kind, size_t pos, int64_t w, int64_t h) {
    if (!Counts(w, h)) return false;
    f.Kind = kind;
    f.Offset = pos;
    f.Width = int32_t(std::min<int64_t>(w, INT32_MAX));
    f.Height = int32_t(std::min<int64_t>(h, INT32_MAX));
    return true;
}

bool IsRst(uint8_t m) {
    return m >= 0xD0 && m <= 0xD7;
}

bool ValidFrameBody(TBytes b, size_t body, size_t length, int64_t& w, int64_t& h) {
    // length: of the segment, its two length bytes included.
    if (length < 8 || !Has(b, body, length - 2)) return false;
    const uint8_t* s = b.data() + body;
    const unsigned precision = s[0], comps = s[5];
    if (precision != 8 && precision != 12 && precision != 16 && !(precision >= 2 && precision < 16))
        return false;
    if (comps < 1 || comps > 4 || length != 8 + 3 * size_t(comps)) return false;
    for (unsigned c = 0; c < comps; ++c) {
        const uint8_t hv = s[7 + 3 * c], tq = s[8 + 3 * c];
        if ((hv >> 4) < 1 || (hv >> 4) > 4 || (hv & 15) < 1 || (hv & 15) > 4 || tq > 3)
            return false;
    }
    h = Be16(s + 1);
    w = Be16(s + 3);
    return true;
}

}  // namespace

size_t NextMarkerInScan(TBytes b, size_t pos) {
    const size_t n = b.size();
    while (pos + 1 < n) {
        const void* ff = std::memchr(b.data() + pos, 0xFF, n - pos - 1);
        if (ff == nullptr) return n;
        pos = size_t(static_cast<const uint8_t*>(ff) - b.data());
        const uint8_t next = b[pos + 1];
        if (next != 0 && next != 0xFF && !IsRst(next)) return pos;
        ++pos;
    }
    return n;
}


const char* JpegFrameKind(uint8_t m) {
    switch (m) {
        case 0xC0:
        case 0xC1:
        case 0xC2:
            return "JPEG";
        case 0xC3:
            return "lossless JPEG";
        case 0xC5:
        case 0xC6:
            return "hierarchical JPEG";
        case 0xC7:
            return "hierarchical lossless JPEG";
        case 0xC9:
        case 0xCA:
        case 0xCD:
        case 0xCE:
            return "arithmetic JPEG";
        case 0xCB:
        case 0xCF:
            return "arithmetic lossless JPEG";
        default:
            return nullptr;
    }
}

bool ParseJpegFrame(TBytes b, size_t pos, TFoundHeader& f) {
    if (!Has(b, pos, 4) || b[pos] != 0xFF) return false;
    const char* kind = JpegFrameKind(b[pos + 1]);
    if (kind == nullptr) return false;
    int64_t w = 0, h = 0;
    if (!ValidFrameBody(b, pos + 4, Be16(&b[pos + 2]), w, h)) return false;
    // A height of 0 is set by a DNL segment after the first scan: such a frame counts too.
    if (!Found(f, kind, pos, w, h == 0 ? kMinFoundSide : h)) return false;
    f.Height = int32_t(h);
    return true;
}

bool ParseJpegHeader(TBytes b, size_t pos, TFoundHeader& f) {
    if (!Has(b, pos, 4) || b[pos] != 0xFF || b[pos + 1] != 0xD8) return false;
    size_t p = pos + 2;
    for (int segments = 0; segments < 512; ++segments) {
        if (!Has(b, p, 2) || b[p] != 0xFF) return false;
        while (Has(b, p, 3) && b[p + 1] == 0xFF) ++p;  // fill bytes
        if (!Has(b, p, 2)) return false;
        const uint8_t m = b[p + 1];
        if (m == 0xD8 || m == 0xD9 || m == 0xDA || m == 0x00) return false;
        if (m == 0x01 || IsRst(m)) {
            p += 2;
            continue;
        }
        if (!Has(b, p, 4)) return false;
        if (JpegFrameKind(m) != nullptr) {
            TFoundHeader frame;
            if (!ParseJpegFrame(b, p, frame)) return false;
            f = frame;
            f.Offset = pos;
            return true;
        }
        const size_t len = Be16(&b[p + 2]);
        if (len < 2) return false;
        p += 2 + len;
    }
    return false;
}

size_t JpegStreamEnd(TBytes b, size_t pos) {
    const size_t n = b.size();
    size_t p = pos + 2;
    bool scanned = false;
    while (p + 1 < n) {
        if (b[p] != 0xFF) {
            // Garbage where a marker should be: stray bytes after a scan are skipped as a
            // decoder would, up to the next marker.
            p = NextMarkerInScan(b, p);
            continue;
        }
        const uint8_t m = b[p + 1];
        if (m == 0xFF) {
            ++p;
            continue;
        }
        if (m == 0xD9 && scanned) return p + 2;
        if (m == 0xD9 || m == 0xD8 || m == 0x01 || IsRst(m) || m == 0x00) {
            p += 2;
            continue;
        }
        if (p + 4 > n) return n;
        const size_t len = Be16(&b[p + 2]);
        if (len < 2) return n;
        p += 2 + len;
        if (m == 0xDA) {
            scanned = true;
            p = NextMarkerInScan(b, std::min(p, n));
        }
    }
    return n;
}

bool ParsePngHeader(TBytes b, size_t pos, TFoundHeader& f) {
    static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (!Has(b, pos, 24) || std::memcmp(&b[pos], sig, 8) != 0) return false;
    if (Be32(&b[pos + 8]) != 13 || std::memcmp(&b[pos + 12], "IHDR", 4) != 0) return false;
    const uint32_t w = Be32(&b[pos + 16]), h = Be32(&b[pos + 20]);
    if (w > 0x7FFFFFFF || h > 0x7FFFFFFF) return false;
    return Found(f, "PNG", pos, w, h);
}

bool ParseGifHeader(TBytes b, size_t pos, TFoundHeader& f) {
    if (!Has(b, pos, 10)) return false;
    if (std::memcmp(&b[pos], "GIF87a", 6) != 0 && std::memcmp(&b[pos], "GIF89a", 6) != 0)
        return false;
    return Found(f, "GIF", pos, Le16(&b[pos + 6]), Le16(&b[pos + 8]));
}

bool ParseWebpHeader(TBytes b, size_t pos, TFoundHeader& f) {
    if (!Has(b, pos, 30) || std::memcmp(&b[pos], "RIFF", 4) != 0 ||
        std::memcmp(&b[pos + 8], "WEBP", 4) != 0)
        return false;
    const uint8_t* c = &b[pos + 12];
    const uint8_t* d = c + 8;  // the first chunk's data
    if (std::memcmp(c, "VP8 ", 4) == 0) {
        if (d[3] != 0x9D || d[4] != 0x01 || d[5] != 0x2A) return false;
        return Found(f, "WebP", pos, Le16(d + 6) & 0x3FFF, Le16(d + 8) & 0x3FFF);
    }
    if (std::memcmp(c, "VP8L", 4) == 0) {
        if (d[0] != 0x2F) return false;
        const uint32_t bits = Le32(d + 1);
        return Found(f, "WebP", pos, (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
    }
    if (std::memcmp(c, "VP8X", 4) == 0) {
        const uint32_t w = uint32_t(d[4]) | uint32_t(d[5]) << 8 | uint32_t(d[6]) << 16;
        const uint32_t h = uint32_t(d[7]) | uint32_t(d[8]) << 8 | uint32_t(d[9]) << 16;
        return Found(f, "WebP", pos, int64_t(w) + 1, int64_t(h) + 1);
    }
    return false;
}

bool ParseBmpHeader(TBytes b, size_t pos, TFoundHeader& f) {
    if (!Has(b, pos, 26) || b[pos] != 'B' || b[pos + 1] != 'M') return false;
    const uint8_t* p = &b[pos];
    if (Le32(p + 6) != 0) return false;  // the reserved fields
    const uint32_t dib = Le32(p + 14);
    int64_t w = 0, h = 0;
    uint32_t planes = 0, bpp = 0;
    if (dib == 12) {
        w = Le16(p + 18);
        h = Le16(p + 20);
        planes = Le16(p + 22);
        bpp = Le16(p + 24);
    } else if (dib == 40 || dib == 52 || dib == 56 || dib == 64 || dib == 108 || dib == 124) {
        if (!Has(b, pos, 30)) return false;
        w = int32_t(Le32(p + 18));
        h = int32_t(Le32(p + 22));
        if (h < 0) h = -h;
        planes = Le16(p + 26);
        bpp = Le16(p + 28);
    } else {
        return false;
    }
    if (planes != 1) return false;
    if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        return false;
    if (Le32(p + 10) < 14 + dib) return false;  // the pixels start after the headers
    return Found(f, "BMP", pos, w, h);
}

bool ParseTiffHeader(TBytes b, size_t pos, TFoundHeader& f) {
    if (!Has(b, pos, 8)) return false;
    const bool le = b[pos] == 'I' && b[pos + 1] == 'I' && b[pos + 2] == 42 && b[pos + 3] == 0;
    const bool be = b[pos] == 'M' && b[pos + 1] == 'M' && b[pos + 2] == 0 && b[pos + 3] == 42;
    if (!le && !be) return false;
    // A TIFF found by its signature: a few IFDs and entries suffice to see a picture.
    const TTiffWalk walk = WalkTiff(b.subspan(pos), 4, 256);
    for (const TTiffIfd& ifd : walk.Ifds)
        if ((ifd.HasStrips || ifd.HasTiles) && Found(f, "TIFF", pos, ifd.Width, ifd.Height))
            return true;
    return false;
}

namespace {

// The boxes of an ISO base media file between begin and end, searched for a track header or an
// image's spatial extent; depth-limited, and at most `budget` boxes in all.
void FindIsoSize(TBytes b, size_t begin, size_t end, int depth, int& budget, int64_t& w,
                 int64_t& h) {
    size_t p = begin;
    while (p + 8 <= end && budget-- > 0) {
        uint64_t size = Be32(&b[p]);
        size_t header = 8;
        if (size == 1) {
            if (p + 16 > end) return;
            size = uint64_t(Be32(&b[p + 8])) << 32 | Be32(&b[p + 12]);
            header = 16;
        } else if (size == 0) {
            size = end - p;
        }
        if (size < header || size > end - p) return;
        const uint8_t* type = &b[p + 4];
        const size_t body = p + header, boxEnd = p + size_t(size);
        if (std::memcmp(type, "tkhd", 4) == 0 && body + 4 <= boxEnd) {
            const size_t at = body + (b[body] == 1 ? 88 : 76);
            if (at + 8 <= boxEnd) {
                w = std::max<int64_t>(w, Be32(&b[at]) >> 16);
                h = std::max<int64_t>(h, Be32(&b[at + 4]) >> 16);
            }
        } else if (std::memcmp(type, "ispe", 4) == 0 && body + 12 <= boxEnd) {
            w = std::max<int64_t>(w, Be32(&b[body + 4]));
            h = std::max<int64_t>(h, Be32(&b[body + 8]));
        } else if (depth < 6) {
            static const char* const containers[] = {"moov", "trak", "iprp",
                                                     "ipco", "mdia", "meta"};
            for (const char* c : containers)
                if (std::memcmp(type, c, 4) == 0) {
                    // meta is a full box: version and flags come first.
                    const size_t inner = body + (std::memcmp(type, "meta", 4) == 0 ? 4 : 0);
                    FindIsoSize(b, std::min(inner, boxEnd), boxEnd, depth + 1, budget, w, h);
                }
        }
        p = boxEnd;
    }
}

}  // namespace

bool ParseIsoBmffHeader(TBytes b, size_t pos, TFoundHeader& f) {
    if (!Has(b, pos, 16) || std::memcmp(&b[pos + 4], "ftyp", 4) != 0) return false;
    const uint32_t size = Be32(&b[pos]);
    if (size < 16 || size > 4096 || !Has(b, pos, size)) return false;
    for (int i = 8; i < 12; ++i)
        if (b[pos + size_t(i)] < 0x20 || b[pos + size_t(i)] > 0x7E) return false;
    int64_t w = 0, h = 0;
    int budget = 256;
    FindIsoSize(b, pos, b.size(), 0, budget, w, h);
    const bool still = std::memcmp(&b[pos + 8], "hei", 3) == 0 ||
                       std::memcmp(&b[pos + 8], "mif1", 4) == 0 ||
                       std::memcmp(&b[pos + 8], "avi", 3) == 0;
    return Found(f, still ? "HEIF" : "MP4", pos, w, h);
}

bool CostlySignature(TBytes b, size_t pos) {
    if (!Has(b, pos, 4)) return false;
    const uint8_t* p = &b[pos];
    return (p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) ||
           (p[0] == 'I' && p[1] == 'I' && p[2] == 42 && p[3] == 0) ||
           (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == 42) ||
           (Has(b, pos, 8) && std::memcmp(p + 4, "ftyp", 4) == 0);
}

bool ParsePictureHeader(TBytes b, size_t pos, TFoundHeader& f) {
    if (pos >= b.size()) return false;
    switch (b[pos]) {
        case 0xFF:
            return ParseJpegHeader(b, pos, f);
        case 0x89:
            return ParsePngHeader(b, pos, f);
        case 'G':
            return ParseGifHeader(b, pos, f);
        case 'R':
            return ParseWebpHeader(b, pos, f);
        case 'B':
            return ParseBmpHeader(b, pos, f);
        case 'I':
        case 'M':
            return ParseTiffHeader(b, pos, f);
        default:
            // ISO base media: the box size comes before "ftyp".
            return Has(b, pos, 8) && b[pos + 4] == 'f' && b[pos + 5] == 't' && b[pos + 6] == 'y' &&
                   b[pos + 7] == 'p' && ParseIsoBmffHeader(b, pos, f);
    }
}

// ---- TIFF ----

namespace {

size_t TypeSize(uint16_t type) {
    switch (type) {
        case 1:
        case 2:
        case 6:
        case 7:
            return 1;
        case 3:
        case 8:
            return 2;
        case 4:
        case 9:
        case 11:
        case 13:
            return 4;
        case 5:
        case 10:
        case 12:
        case 16:
        case 17:
        case 18:
            return 8;
        default:
            return 0;
    }
}

constexpr size_t kMaxListedOffsets = 64;

struct TTiffReader {
    TBytes b;
    bool be;
    uint32_t U16(size_t p) const { return be ? Be16(&b[p]) : Le16(&b[p]); }
    uint32_t U32(size_t p) const { return be ? Be32(&b[p]) : Le32(&b[p]); }
    // Value i of an integer entry (BYTE, SHORT, LONG or IFD).
    uint32_t Int(const TTiffValue& v, size_t i) const {
        const size_t s = TypeSize(v.Type);
        const size_t at = v.Offset + i * s;
        if (v.Size == 0 || at + s > v.Offset + v.Size) return 0;
        return s == 1 ? b[at] : s == 2 ? U16(at) : U32(at);
    }
};

}  // namespace

const char* TiffCarrierName(uint16_t tag) {
    switch (tag) {
        case 0x0111:
            return "strips";
        case 0x0144:
            return "tiles";
        case 0x014A:
            return "SubIFDs";
        case 0x0201:
            return "JPEG thumbnail";
        case 0x02BC:
            return "XMP";
        case 0x83BB:
            return "IPTC";
        case 0x8649:
            return "Photoshop resources";
        case 0x8773:
            return "ICC profile";
        case 0x927C:
            return "maker note";
        case 0x9286:
            return "user comment";
        case 0x9C9B:
            return "XPTitle";
        case 0x9C9C:
            return "XPComment";
        case 0x9C9D:
            return "XPAuthor";
        case 0x9C9E:
            return "XPKeywords";
        case 0x9C9F:
            return "XPSubject";
        case 0xC4A5:
            return "PrintIM";
        case 0xC612:
            return "DNG version";
        case 0xC634:
            return "DNG private data";
        default:
            return nullptr;
    }
}

TTiffWalk WalkTiff(TBytes b, int maxIfds, size_t maxEntries) {
    TTiffWalk walk;
    if (b.size() < 8) return walk;
    const bool le = b[0] == 'I' && b[1] == 'I', be = b[0] == 'M' && b[1] == 'M';
    if (!le && !be) return walk;
    const TTiffReader r{b, be};
    if (r.U16(2) != 42) return walk;
    walk.BigEndian = be;
    struct TPending {
        size_t Offset;
        std::string Name;
        bool Chain;  // its next link continues the chain (IFD0, IFD1, ...)
        int Index;
    };
    std::vector<TPending> pending{{r.U32(4), "IFD0", true, 0}};
    std::set<size_t> visited;
    while (!pending.empty()) {
        const TPending at = pending.back();
        pending.pop_back();
        if (at.Offset == 0) continue;
        if (int(walk.Ifds.size()) >= maxIfds) {
            walk.Problems.push_back("more than " + std::to_string(maxIfds) + " IFDs");
            break;
        }
        if (!visited.insert(at.Offset).second) {
            walk.Problems.push_back(at.Name + " points back to an IFD already read");
            continue;
        }
        if (!Has(b, at.Offset, 2)) {
            walk.Problems.push_back(at.Name + " lies outside the block");
            continue;
        }
        const uint32_t count = r.U16(at.Offset);
        TTiffIfd ifd;
        ifd.Name = at.Name;
        ifd.Offset = at.Offset;
        ifd.Entries = uint16_t(count);
        const size_t entries = at.Offset + 2;
        const size_t inside = std::min<size_t>(count, (b.size() - entries) / 12);
        if (inside < count) walk.Problems.push_back(at.Name + " runs past the end of the block");
        const size_t whole = std::min(inside, maxEntries);
        int subIfds = 0;
        for (size_t i = 0; i < whole; ++i) {
            const size_t e = entries + 12 * i;
            TTiffValue v;
            v.Tag = uint16_t(r.U16(e));
            v.Type = uint16_t(r.U16(e + 2));
            v.Count = r.U32(e + 4);
            const size_t s = TypeSize(v.Type);
            if (s == 0) continue;
            const uint64_t bytes = uint64_t(v.Count) * s;
            v.Offset = bytes <= 4 ? e + 8 : r.U32(e + 8);
            v.Size = Has(b, v.Offset, bytes) ? size_t(bytes) : 0;
            if (TiffCarrierName(v.Tag) != nullptr) ifd.Carriers.push_back(v);
            const auto list = [&](std::vector<uint32_t>& out) {
                for (size_t k = 0; k < v.Count && k < kMaxListedOffsets; ++k)
                    out.push_back(r.Int(v, k));
            };
            switch (v.Tag) {
                case 0x0100:
                    ifd.Width = int32_t(std::min<uint32_t>(r.Int(v, 0), INT32_MAX));
                    break;
                case 0x0101:
                    ifd.Height = int32_t(std::min<uint32_t>(r.Int(v, 0), INT32_MAX));
                    break;
                case 0x0102:
                    ifd.BitsPerSample = r.Int(v, 0);
                    break;
                case 0x0103:
                    ifd.Compression = r.Int(v, 0);
                    break;
                case 0x0106:
                    ifd.Photometric = r.Int(v, 0);
                    break;
                case 0x0115:
                    ifd.SamplesPerPixel = r.Int(v, 0);
                    break;
                case 0x0111:
                    ifd.HasStrips = true;
                    list(ifd.StripOffsets);
                    break;
                case 0x0117:
                    list(ifd.StripByteCounts);
                    break;
                case 0x0144:
                    ifd.HasTiles = true;
                    list(ifd.TileOffsets);
                    break;
                case 0x0145:
                    list(ifd.TileByteCounts);
                    break;
                case 0x0201:
                    ifd.HasJpeg = true;
                    ifd.JpegOffset = r.Int(v, 0);
                    break;
                case 0x0202:
                    ifd.HasJpegLength = true;
                    ifd.JpegLength = r.Int(v, 0);
                    break;
                case 0x8769:
                    pending.push_back({r.Int(v, 0), "Exif IFD", false, 0});
                    break;
                case 0x8825:
                    pending.push_back({r.Int(v, 0), "GPS IFD", false, 0});
                    break;
                case 0xA005:
                    pending.push_back({r.Int(v, 0), "Interoperability IFD", false, 0});
                    break;
                case 0x014A:
                    for (size_t k = 0; k < v.Count && k < 16; ++k)
                        pending.push_back(
                            {r.Int(v, k), "SubIFD " + std::to_string(++subIfds), true, 0});
                    break;
                default:
                    break;
            }
        }
        if (at.Chain && inside == count && Has(b, entries + 12 * size_t(count), 4)) {
            const uint32_t next = r.U32(entries + 12 * size_t(count));
            const bool top = at.Name.starts_with("IFD");
            pending.push_back({next,
                               top ? "IFD" + std::to_string(at.Index + 1) : at.Name + " (next)",
                               true, at.Index + 1});
        }
        walk.Ifds.push_back(std::move(ifd));
    }
    walk.Valid = !walk.Ifds.empty() && walk.Ifds.front().Name == "IFD0";
    return walk;
}

// ---- base64 ----

namespace {

int Base64Value(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
}

// The length of a line-break entity or white space at p (0: none).
size_t BreakAt(TBytes t, size_t p) {
    const uint8_t c = t[p];
    if (c == '\n' || c == '\r') return 1;
    if (c != '&' || p + 4 >= t.size() || t[p + 1] != '#') return 0;
    for (const char* e : {"&#xA;", "&#xa;", "&#xD;", "&#xd;", "&#10;", "&#13;"}) {
        const size_t n = std::strlen(e);
        if (p + n <= t.size() && std::memcmp(&t[p], e, n) == 0) return n;
    }
    return 0;
}

}  // namespace

std::vector<TBase64Run> FindBase64Runs(TBytes t, size_t minChars, size_t maxDecoded, bool* capped) {
    std::vector<TBase64Run> runs;
    size_t total = 0;
    size_t p = 0;
    const size_t n = t.size();
    while (p < n) {
        if (Base64Value(t[p]) < 0) {
            ++p;
            continue;
        }
        // A run: base64 characters with breaks inside, ended by anything else ('=' included);
        // decoded as it is walked, so that the letters of an entity never count.
        const size_t start = p;
        size_t chars = 0, q = p;
        std::vector<uint8_t> decoded;
        uint32_t acc = 0;
        int bits = 0;
        while (q < n) {
            const int v = Base64Value(t[q]);
            if (v >= 0) {
                ++chars;
                ++q;
                acc = acc << 6 | uint32_t(v);
                bits += 6;
                if (bits >= 8) {
                    bits -= 8;
                    decoded.push_back(uint8_t(acc >> bits));
                }
            } else if (const size_t br = BreakAt(t, q)) {
                q += br;
            } else {
                break;
            }
        }
        p = std::max(q, start + 1);
        if (chars < minChars) continue;
        if (total + decoded.size() > maxDecoded) {
            if (capped != nullptr) *capped = true;
            break;
        }
        total += decoded.size();
        runs.push_back({start, std::move(decoded)});
    }
    return runs;
}

}  // namespace tilvo
