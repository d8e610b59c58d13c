// Splicing edited MCU rows into a baseline JPEG's entropy-coded data: a strict header parser, a
// Huffman decoder and encoder for 8-bit sequential scans, and a bit copier that moves untouched
// stretches of the stream to any bit alignment, stuffing zero bytes after 0xFF as it goes.
#include "JpegSplice.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>

#include "Effector/Bitmap.h"

namespace tilvo {

namespace {

constexpr int kMaxBlocksInMcu = 10;
constexpr int kLookBits = 9;

// A Huffman table as a decoder and as an encoder use it.
struct THuffTable {
    bool Defined = false;
    // Codes up to kLookBits long: (length << 8 | symbol) by the next kLookBits bits; 0 for a
    // longer code or none.
    std::array<uint16_t, 1 << kLookBits> Look{};
    std::array<int32_t, 18> MaxCode{};    // the largest code of each length, -1 for none
    std::array<int32_t, 18> ValOffset{};  // the symbol index of a code of that length, less code
    std::array<uint8_t, 256> Values{};
    // As an AC table passed over without its values: (bits of code and value << 8 | the step to
    // the next coefficient, 0 at the end of the block) for codes up to kLookBits long; 0 for a
    // longer code, none, or one whose value could not come from 8-bit data.
    std::array<uint16_t, 1 << kLookBits> Pass{};
    std::array<uint16_t, 256> Code{};  // the encoder's code of each symbol
    std::array<uint8_t, 256> Size{};   // its length; 0 when the table has no code for it
};

// Builds the table from a DHT's 16 counts and its symbols; false when the counts do not make a
// prefix code (a code longer than its length allows) or name more than 256 symbols.
bool BuildTable(const uint8_t* counts, const uint8_t* symbols, int total, THuffTable& t) {
    t = THuffTable{};
    int32_t code = 0;
    int k = 0;
    for (int len = 1; len <= 16; ++len) {
        const int n = counts[len - 1];
        t.ValOffset[size_t(len)] = k - code;
        for (int i = 0; i < n; ++i, ++k, ++code) {
            // Past the codes of this length (a code of all ones among them): not a prefix code.
            if (code >= (int32_t(1) << len) - 1) return false;
            const uint8_t sym = symbols[k];
            t.Values[size_t(k)] = sym;
            t.Code[sym] = uint16_t(code);
            t.Size[sym] = uint8_t(len);
            if (len <= kLookBits) {
                const int shift = kLookBits - len;
                const int run = sym >> 4, size = sym & 15;
                const int step = size > 0 ? run + 1 : run == 15 ? 16 : 0;
                const uint16_t pass = size > 10 ? 0 : uint16_t((len + size) << 8 | step);
                for (int j = 0; j < (1 << shift); ++j) {
                    t.Look[size_t((code << shift) | j)] = uint16_t(len << 8 | sym);
                    t.Pass[size_t((code << shift) | j)] = pass;
                }
            }
        }
        t.MaxCode[size_t(len)] = n > 0 ? code - 1 : -1;
        code <<= 1;
    }
    t.MaxCode[17] = 0x7FFFFFFF;
    t.Defined = k == total;
    return t.Defined;
}

uint32_t Be16(const uint8_t* p) {
    return uint32_t(p[0]) << 8 | p[1];
}

struct TComponent {
    int H = 1, V = 1;
    int DcTable = 0, AcTable = 0;
};

// What the header says about the one scan.
struct TScanHeader {
    int32_t Width = 0, Height = 0;
    std::array<TComponent, 3> Components{};
    std::array<THuffTable, 4> Dc{}, Ac{};
    int BlocksInMcu = 0;
    std::array<uint8_t, kMaxBlocksInMcu> BlockComponent{};  // the component of each block
    int32_t McuColumns = 0, McuRows = 0;
    size_t ScanStart = 0;              // the first byte of entropy-coded data
    std::vector<uint8_t> Segments;     // DQT, SOF and DHT segments, in their order, then SOS
    std::array<uint8_t, 18> Jfif{};    // the JFIF segment to write
};

// Parses the segments up to the scan; false (with the reason) for anything but one sequential
// Huffman-coded 8-bit scan of three interleaved components without restarts.
bool ParseHeader(std::span<const uint8_t> b, TScanHeader& h, std::string& why) {
    const size_t n = b.size();
    if (n < 4 || b[0] != 0xFF || b[1] != 0xD8) {
        why = "the source is not a JPEG stream";
        return false;
    }
    // JFIF 1.01 without a density, unless the source's own JFIF segment says otherwise.
    h.Jfif = {0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    bool sawFrame = false, sawJfif = false;
    std::array<int, 3> ids{};
    size_t p = 2;
    for (;;) {
        if (p + 4 > n || b[p] != 0xFF) {
            why = "the source's header is damaged";
            return false;
        }
        while (p + 4 <= n && b[p + 1] == 0xFF) ++p;  // fill bytes
        if (p + 4 > n) {
            why = "the source's header is damaged";
            return false;
        }
        const uint8_t m = b[p + 1];
        const size_t len = Be16(&b[p + 2]);
        if (len < 2 || p + 2 + len > n) {
            why = "the source's header is damaged";
            return false;
        }
        const uint8_t* s = &b[p + 4];  // the segment's body
        const size_t sn = len - 2;
        const size_t next = p + 2 + len;
        if (m == 0xE0 && !sawJfif && sn >= 14 && std::memcmp(s, "JFIF\0", 5) == 0) {
            sawJfif = true;
            if (s[5] == 1 || s[5] == 2) {
                h.Jfif[9] = s[5];
                h.Jfif[10] = s[6];
            }
            std::memcpy(&h.Jfif[11], s + 7, 5);  // units and densities
        } else if ((m >= 0xE0 && m <= 0xEF) || m == 0xFE) {
            // application data and comments stay behind
        } else if (m == 0xDB) {
            h.Segments.insert(h.Segments.end(), b.begin() + std::ptrdiff_t(p),
                              b.begin() + std::ptrdiff_t(next));
        } else if (m == 0xC0 || m == 0xC1) {
            if (sawFrame || sn != 15 || s[0] != 8 || s[5] != 3) {
                why = "the source is not an 8-bit three-component JPEG";
                return false;
            }
            sawFrame = true;
            h.Height = int32_t(Be16(s + 1));
            h.Width = int32_t(Be16(s + 3));
            if (h.Height == 0 || h.Width == 0) {
                why = "the source's size is not in its frame header";
                return false;
            }
            int maxH = 1, maxV = 1, blocks = 0;
            for (int c = 0; c < 3; ++c) {
                ids[size_t(c)] = s[6 + 3 * c];
                TComponent& k = h.Components[size_t(c)];
                k.H = s[7 + 3 * c] >> 4;
                k.V = s[7 + 3 * c] & 15;
                if (k.H < 1 || k.H > 4 || k.V < 1 || k.V > 4) {
                    why = "the source's sampling factors are not valid";
                    return false;
                }
                maxH = std::max(maxH, k.H);
                maxV = std::max(maxV, k.V);
                blocks += k.H * k.V;
            }
            if (blocks > kMaxBlocksInMcu) {
                why = "the source's sampling factors are not valid";
                return false;
            }
            for (int c = 0, i = 0; c < 3; ++c)
                for (int j = 0; j < h.Components[size_t(c)].H * h.Components[size_t(c)].V; ++j)
                    h.BlockComponent[size_t(i++)] = uint8_t(c);
            h.BlocksInMcu = blocks;
            h.McuColumns = int32_t((int64_t(h.Width) + 8 * maxH - 1) / (8 * maxH));
            h.McuRows = int32_t((int64_t(h.Height) + 8 * maxV - 1) / (8 * maxV));
            h.Segments.insert(h.Segments.end(), b.begin() + std::ptrdiff_t(p),
                              b.begin() + std::ptrdiff_t(next));
        } else if (m == 0xC4) {
            size_t q = 0;
            while (q < sn) {
                if (q + 17 > sn) {
                    why = "the source's Huffman tables are damaged";
                    return false;
                }
                const int cls = s[q] >> 4, id = s[q] & 15;
                int total = 0;
                for (int i = 0; i < 16; ++i) total += s[q + 1 + size_t(i)];
                if (cls > 1 || id > 3 || total > 256 || q + 17 + size_t(total) > sn) {
                    why = "the source's Huffman tables are damaged";
                    return false;
                }
                THuffTable& t = cls == 0 ? h.Dc[size_t(id)] : h.Ac[size_t(id)];
                if (!BuildTable(s + q + 1, s + q + 17, total, t)) {
                    why = "the source's Huffman tables are damaged";
                    return false;
                }
                q += 17 + size_t(total);
            }
            h.Segments.insert(h.Segments.end(), b.begin() + std::ptrdiff_t(p),
                              b.begin() + std::ptrdiff_t(next));
        } else if (m == 0xDD) {
            if (sn != 2 || Be16(s) != 0) {
                why = "the source has restart markers";
                return false;
            }
        } else if (m == 0xDA) {
            if (!sawFrame || sn != 10 || s[0] != 3 || s[7] != 0 || s[8] != 63 || s[9] != 0) {
                why = "the source's scan is not one interleaved sequential scan";
                return false;
            }
            for (int c = 0; c < 3; ++c) {
                TComponent& k = h.Components[size_t(c)];
                k.DcTable = s[2 + 2 * c] >> 4;
                k.AcTable = s[2 + 2 * c] & 15;
                if (s[1 + 2 * c] != ids[size_t(c)] || k.DcTable > 3 || k.AcTable > 3 ||
                    !h.Dc[size_t(k.DcTable)].Defined || !h.Ac[size_t(k.AcTable)].Defined) {
                    why = "the source's scan is not one interleaved sequential scan";
                    return false;
                }
            }
            h.Segments.insert(h.Segments.end(), b.begin() + std::ptrdiff_t(p),
                              b.begin() + std::ptrdiff_t(next));
            h.ScanStart = next;
            return true;
        } else {
            why = m >= 0xC2 && m <= 0xCF ? "the source is not a baseline JPEG"
                                          : "the source's header has an unexpected segment";
            return false;
        }
        p = next;
    }
}

// The next symbol in `buf` (at least 16 bits of it valid) and its code's length; -1 for a code
// the table does not have.
inline int PeekSymbol(uint64_t buf, const THuffTable& t, int& length) {
    const uint16_t e = t.Look[size_t(buf >> (64 - kLookBits))];
    if (e != 0) {
        length = e >> 8;
        return e & 0xFF;
    }
    for (int len = kLookBits + 1; len <= 16; ++len) {
        const int32_t code = int32_t(buf >> (64 - len));
        if (code <= t.MaxCode[size_t(len)]) {
            length = len;
            return t.Values[size_t(code + t.ValOffset[size_t(len)])];
        }
    }
    return -1;
}

// Reads the entropy-coded data bit by bit, undoing the byte stuffing. Past the data (a marker or
// the end of the file) it reads zeros and counts them, so that a walk can tell it overran.
class TBitReader {
  public:
    // Reads the scan starting at file byte `start` from `pos`, the data bit `base` there.
    TBitReader(const uint8_t* data, size_t size, size_t start, size_t pos, uint64_t base)
        : data_(data), size_(size), start_(start), pos_(pos), base_(base) {}

    uint64_t Buffer() {
        if (bits_ < 32) Fill();
        return buf_;
    }
    void Skip(int n) {
        buf_ <<= n;
        bits_ -= n;
    }
    // Passes over the AC codes of one block with their value bits, a code and its value in one
    // step (the buffer then holds at least 32 bits: a code takes 16 and a value 10), the state
    // kept in registers. False for a code the table does not have or a value 8-bit data cannot
    // give, or a block past its 63 coefficients.
    bool PassAc(const THuffTable& ac) {
        uint64_t buf = buf_;
        int bits = bits_;
        int k = 1;
        while (k < 64) {
            if (bits < 32) {
                buf_ = buf;
                bits_ = bits;
                Fill();
                buf = buf_;
                bits = bits_;
            }
            uint32_t e = ac.Pass[size_t(buf >> (64 - kLookBits))];
            if (e == 0) {  // a long code, or none
                int length = 0;
                const int rs = PeekSymbol(buf, ac, length);
                const int run = rs >> 4, size = rs & 15;
                if (rs < 0 || size > 10) {
                    buf_ = buf;
                    bits_ = bits;
                    return false;
                }
                e = uint32_t((length + size) << 8 | (size > 0 ? run + 1 : run == 15 ? 16 : 0));
            }
            buf <<= (e >> 8);
            bits -= int(e >> 8);
            if ((e & 0xFF) == 0) break;  // end of block
            k += int(e & 0xFF);
        }
        buf_ = buf;
        bits_ = bits;
        return k <= 64;
    }
    uint32_t Get(int n) {  // n in 1 .. 32
        if (bits_ < n) Fill();
        const uint32_t v = uint32_t(buf_ >> (64 - n));
        Skip(n);
        return v;
    }
    // The data bits read so far.
    uint64_t DataBit() const { return base_ + fedBytes_ * 8 - uint64_t(bits_); }
    // True when more bits were read than the data has.
    bool Overran() const { return fedBytes_ * 8 - uint64_t(bits_) > (fedBytes_ - fakeBytes_) * 8; }

    // The file byte holding the next bit, and the bit's place in it (0 = most significant).
    void FilePosition(size_t& byte, int& bit) const {
        const int64_t pending = (bits_ + 7) / 8 - int64_t(fakeBytes_);
        size_t p = pos_;
        for (int64_t i = 0; i < pending; ++i)
            p -= p >= start_ + 2 && data_[p - 1] == 0 && data_[p - 2] == 0xFF ? 2 : 1;
        byte = p;
        bit = (8 - bits_ % 8) % 8;
    }

  private:
    void Fill() {
        // Whole bytes at once where the next eight hold no 0xFF.
        if (pos_ + 8 <= size_) {
            uint64_t v;
            std::memcpy(&v, data_ + pos_, 8);
            if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
            const uint64_t inv = ~v;
            if (((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) == 0) {
                const int n = (63 - bits_) >> 3;  // 1 .. 7
                buf_ |= (v >> (64 - 8 * n)) << (64 - 8 * n - bits_);
                bits_ += 8 * n;
                pos_ += size_t(n);
                fedBytes_ += uint64_t(n);
                return;
            }
        }
        while (bits_ <= 56) {
            uint64_t v = 0;
            if (pos_ < size_) {
                v = data_[pos_];
                if (v != 0xFF) {
                    ++pos_;
                } else if (pos_ + 1 < size_ && data_[pos_ + 1] == 0) {
                    pos_ += 2;
                } else {
                    v = 0;
                    ++fakeBytes_;
                }
            } else {
                ++fakeBytes_;
            }
            buf_ |= v << (56 - bits_);
            bits_ += 8;
            ++fedBytes_;
        }
    }

    const uint8_t* data_;
    size_t size_, start_, pos_;
    uint64_t base_;
    uint64_t buf_ = 0;
    int bits_ = 0;
    uint64_t fedBytes_ = 0, fakeBytes_ = 0;
};

// The coefficients of one block in zigzag order, the DC as its value (not its difference).
using TBlock = std::array<int16_t, 64>;

inline int DecodeSymbol(TBitReader& r, const THuffTable& t) {
    int length = 0;
    const int s = PeekSymbol(r.Buffer(), t, length);
    if (s >= 0) r.Skip(length);
    return s;
}

inline int32_t Extend(uint32_t v, int s) {
    return v < (uint32_t(1) << (s - 1)) ? int32_t(v) - (int32_t(1) << s) + 1 : int32_t(v);
}

// Decodes one block, adding its DC difference to `pred`; with `Store`, into `block` (all 64 set).
// False for a damaged block or one with a difference or coefficient larger than 8-bit data gives.
template <bool Store>
bool DecodeBlock(TBitReader& r, const THuffTable& dc, const THuffTable& ac, int32_t& pred,
                 TBlock* block) {
    if constexpr (Store) block->fill(0);
    const int s = DecodeSymbol(r, dc);
    if (s < 0 || s > 11) return false;
    if (s > 0) pred += Extend(r.Get(s), s);
    if (pred < -2048 || pred > 2047) return false;
    if constexpr (Store) (*block)[0] = int16_t(pred);
    if constexpr (!Store) return r.PassAc(ac);  // only the bits are passed over
    for (int k = 1; k < 64;) {
        const int rs = DecodeSymbol(r, ac);
        if (rs < 0) return false;
        const int run = rs >> 4, size = rs & 15;
        if (size == 0) {
            if (run != 15) break;  // end of block
            k += 16;
            continue;
        }
        k += run;
        if (k > 63 || size > 10) return false;
        const uint32_t v = r.Get(size);
        if constexpr (Store) (*block)[size_t(k)] = int16_t(Extend(v, size));
        ++k;
    }
    return true;
}

// Writes bits, stuffing a zero byte after every 0xFF.
class TBitWriter {
  public:
    explicit TBitWriter(std::vector<uint8_t>& out) : out_(out), used_(out.size()) {}

    void Put(uint32_t value, int size) {  // size 0 .. 32, value below 2^size
        acc_ = (acc_ << size) | value;
        n_ += size;
        if (n_ >= 32) Flush32();
    }
    // Pads to a whole byte with one bits and writes every pending byte.
    void Align() {
        const int pad = (8 - n_ % 8) % 8;
        Put((uint32_t(1) << pad) - 1, pad);
        while (n_ > 0) {
            n_ -= 8;
            Byte(uint8_t(acc_ >> n_));
        }
    }
    bool Aligned() const { return n_ == 0; }
    // Bytes already stuffed, written as they are; only when aligned.
    void Raw(const uint8_t* p, size_t count) {
        Reserve(count);
        std::memcpy(out_.data() + used_, p, count);
        used_ += count;
    }
    // Moves `count` data bits from the reader.
    void Copy(TBitReader& r, uint64_t count) {
        for (; count >= 32; count -= 32) Put(r.Get(32), 32);
        if (count > 0) Put(r.Get(int(count)), int(count));
    }
    void Finish() { out_.resize(used_); }

  private:
    void Reserve(size_t count) {
        if (out_.size() - used_ < count + 16)
            out_.resize(std::max(out_.size() * 2, used_ + count + 65536));
    }
    void Byte(uint8_t v) {
        Reserve(2);
        out_[used_++] = v;
        if (v == 0xFF) out_[used_++] = 0;
    }
    void Flush32() {
        n_ -= 32;
        const uint32_t w = uint32_t(acc_ >> n_);
        const uint32_t inv = ~w;
        if (((inv - 0x01010101u) & ~inv & 0x80808080u) == 0) {  // no byte is 0xFF
            Reserve(4);
            uint8_t* o = out_.data() + used_;
            o[0] = uint8_t(w >> 24);
            o[1] = uint8_t(w >> 16);
            o[2] = uint8_t(w >> 8);
            o[3] = uint8_t(w);
            used_ += 4;
        } else {
            for (int s = 24; s >= 0; s -= 8) Byte(uint8_t(w >> s));
        }
    }

    std::vector<uint8_t>& out_;
    size_t used_;
    uint64_t acc_ = 0;
    int n_ = 0;
};

int BitLength(uint32_t v) {
    return v == 0 ? 0 : 32 - std::countl_zero(v);
}

// Codes one block against `pred`; false when a symbol has no code in the tables.
bool EncodeBlock(TBitWriter& w, const THuffTable& dc, const THuffTable& ac, int32_t& pred,
                 const TBlock& block) {
    int32_t diff = block[0] - pred;
    pred = block[0];
    uint32_t mag = uint32_t(diff < 0 ? -diff : diff);
    int nbits = BitLength(mag);
    if (nbits > 11 || dc.Size[size_t(nbits)] == 0) return false;
    w.Put(dc.Code[size_t(nbits)], dc.Size[size_t(nbits)]);
    if (nbits > 0) w.Put(uint32_t(diff < 0 ? diff - 1 : diff) & ((1u << nbits) - 1), nbits);
    int run = 0;
    for (int k = 1; k < 64; ++k) {
        const int32_t v = block[size_t(k)];
        if (v == 0) {
            ++run;
            continue;
        }
        for (; run > 15; run -= 16) {
            if (ac.Size[0xF0] == 0) return false;
            w.Put(ac.Code[0xF0], ac.Size[0xF0]);
        }
        mag = uint32_t(v < 0 ? -v : v);
        nbits = BitLength(mag);
        const size_t sym = size_t(run << 4 | nbits);
        if (nbits > 10 || ac.Size[sym] == 0) return false;
        w.Put(ac.Code[sym], ac.Size[sym]);
        w.Put(uint32_t(v < 0 ? v - 1 : v) & ((1u << nbits) - 1), nbits);
        run = 0;
    }
    if (run > 0) {
        if (ac.Size[0] == 0) return false;
        w.Put(ac.Code[0], ac.Size[0]);
    }
    return true;
}

struct TRowStart {
    uint64_t DataBit = 0;
    size_t FileByte = 0;
    int Bit = 0;
    std::array<int32_t, 3> Pred{};
};

// A reader at a place found earlier in the scan.
TBitReader ReaderAt(std::span<const uint8_t> bytes, const TScanHeader& h, const TRowStart& at) {
    TBitReader r(bytes.data(), bytes.size(), h.ScanStart, at.FileByte, at.DataBit - uint64_t(at.Bit));
    if (at.Bit > 0) r.Get(at.Bit);
    return r;
}

// Walks the MCUs of a scan one by one.
class TMcuWalker {
  public:
    TMcuWalker(std::span<const uint8_t> bytes, const TScanHeader& h, const TRowStart& at)
        : h_(h), r_(ReaderAt(bytes, h, at)), pred_(at.Pred) {}
    template <bool Store>
    bool Next(std::array<TBlock, kMaxBlocksInMcu>* blocks) {
        for (int i = 0; i < h_.BlocksInMcu; ++i) {
            const int c = h_.BlockComponent[size_t(i)];
            const TComponent& k = h_.Components[size_t(c)];
            if (!DecodeBlock<Store>(r_, h_.Dc[size_t(k.DcTable)], h_.Ac[size_t(k.AcTable)],
                                    pred_[size_t(c)], Store ? &(*blocks)[size_t(i)] : nullptr))
                return false;
        }
        return !r_.Overran();
    }
    TBitReader& Reader() { return r_; }
    const std::array<int32_t, 3>& Pred() const { return pred_; }

  private:
    const TScanHeader& h_;
    TBitReader r_;
    std::array<int32_t, 3> pred_;
};

}  // namespace

class TJpegScanIndex {
  public:
    TScanHeader Header;
    std::vector<TRowStart> Rows;  // McuRows + 1: the last is where the last MCU ends
};

std::shared_ptr<const TJpegScanIndex> IndexJpegScan(std::span<const uint8_t> source,
                                                    std::string* whyNot) {
    auto index = std::make_shared<TJpegScanIndex>();
    std::string why;
    TScanHeader& h = index->Header;
    if (!ParseHeader(source, h, why)) {
        if (whyNot != nullptr) *whyNot = why;
        return nullptr;
    }
    const auto damaged = [&] {
        if (whyNot != nullptr) *whyNot = "the source's entropy-coded data is damaged";
        return nullptr;
    };
    index->Rows.resize(size_t(h.McuRows) + 1);
    TRowStart start;
    start.FileByte = h.ScanStart;
    // Next checks after every MCU that the data did not run out: data cut short reads as zeros,
    // which would otherwise make a huge grid cost time out of all proportion to the file.
    TMcuWalker walker(source, h, start);
    for (int32_t row = 0; row <= h.McuRows; ++row) {
        TRowStart& s = index->Rows[size_t(row)];
        s.DataBit = walker.Reader().DataBit();
        walker.Reader().FilePosition(s.FileByte, s.Bit);
        s.Pred = walker.Pred();
        if (row == h.McuRows) break;
        for (int32_t m = 0; m < h.McuColumns; ++m)
            if (!walker.Next<false>(nullptr)) return damaged();
    }
    // After the last MCU: one bits to the byte's end, then (after fill bytes) EOI.
    const TRowStart& end = index->Rows.back();
    size_t p = end.FileByte;
    if (end.Bit != 0) {
        if (p >= source.size()) return damaged();
        const uint8_t padMask = uint8_t(0xFF >> end.Bit);
        if ((source[p] & padMask) != padMask) return damaged();
        p += source[p] == 0xFF ? 2 : 1;
    }
    while (p + 1 < source.size() && source[p] == 0xFF && source[p + 1] == 0xFF) ++p;
    if (p + 1 >= source.size() || source[p] != 0xFF || source[p + 1] != 0xD9) return damaged();
    return index;
}

int32_t ScanIndexMcuColumns(const TJpegScanIndex& index) {
    return index.Header.McuColumns;
}

int32_t ScanIndexMcuRows(const TJpegScanIndex& index) {
    return index.Header.McuRows;
}

bool SpliceJpeg(std::span<const uint8_t> source, const TJpegScanIndex& index,
                const std::vector<uint8_t>& changed, const TMcuRowsEncoder& encodeRows,
                std::vector<uint8_t>& out) {
    const TScanHeader& h = index.Header;
    const int32_t cols = h.McuColumns, rows = h.McuRows;
    out.clear();
    if (changed.size() != size_t(cols) * size_t(rows)) return false;
    const auto rowChanged = [&](int32_t r) {
        const uint8_t* f = &changed[size_t(r) * size_t(cols)];
        return std::find_if(f, f + cols, [](uint8_t v) { return v != 0; }) != f + cols;
    };
    const auto fail = [&] {
        out.clear();
        return false;
    };

    out.reserve(source.size() + source.size() / 8 + 4096);
    AdviseLargePages(out.data(), out.capacity());
    TBitWriter w(out);
    w.Raw(reinterpret_cast<const uint8_t*>("\xFF\xD8"), 2);
    w.Raw(h.Jfif.data(), h.Jfif.size());
    w.Raw(h.Segments.data(), h.Segments.size());

    // The source's bits from `from` up to `to` go over unchanged: the output's DC predictors
    // agree with the source's wherever a copy starts.
    TRowStart from = index.Rows[0];
    const auto copyUpTo = [&](const TRowStart& to) {
        if (to.DataBit <= from.DataBit) return;
        if (w.Aligned() && from.Bit == 0) {
            w.Raw(&source[from.FileByte], to.FileByte - from.FileByte);
            if (to.Bit > 0) w.Put(uint32_t(source[to.FileByte]) >> (8 - to.Bit), to.Bit);
            return;
        }
        TBitReader r = ReaderAt(source, h, from);
        w.Copy(r, to.DataBit - from.DataBit);
    };

    std::array<TBlock, kMaxBlocksInMcu> mine{}, theirs{};
    const auto encode = [&](std::array<int32_t, 3>& pred, const std::array<TBlock, kMaxBlocksInMcu>& blocks) {
        for (int i = 0; i < h.BlocksInMcu; ++i) {
            const int c = h.BlockComponent[size_t(i)];
            const TComponent& k = h.Components[size_t(c)];
            if (!EncodeBlock(w, h.Dc[size_t(k.DcTable)], h.Ac[size_t(k.AcTable)], pred[size_t(c)],
                             blocks[size_t(i)]))
                return false;
        }
        return true;
    };

    for (int32_t r0 = 0; r0 < rows;) {
        if (!rowChanged(r0)) {
            ++r0;
            continue;
        }
        int32_t r1 = r0 + 1;
        while (r1 < rows && rowChanged(r1)) ++r1;
        copyUpTo(index.Rows[size_t(r0)]);

        // The edited rows' stream, checked against the source's grid.
        const TEditedRows given = encodeRows(r0, r1);
        if (given.Stream == nullptr) return fail();
        const std::vector<uint8_t>& band = *given.Stream;
        TScanHeader bh;
        std::string why;
        if (!ParseHeader(band, bh, why) || bh.Width != h.Width || bh.McuColumns != cols ||
            given.FirstRow > r0 || given.FirstRow + bh.McuRows < r1 ||
            bh.BlocksInMcu != h.BlocksInMcu)
            return fail();
        for (int c = 0; c < 3; ++c)
            if (bh.Components[size_t(c)].H != h.Components[size_t(c)].H ||
                bh.Components[size_t(c)].V != h.Components[size_t(c)].V)
                return fail();
        TRowStart bandStart;
        bandStart.FileByte = bh.ScanStart;
        TMcuWalker edited(band, bh, bandStart);
        for (int64_t m = int64_t(r0 - given.FirstRow) * cols; m > 0; --m)
            if (!edited.Next<false>(nullptr)) return fail();
        std::array<int32_t, 3> pred = index.Rows[size_t(r0)].Pred;
        for (int32_t r = r0; r < r1; ++r) {
            const uint8_t* flags = &changed[size_t(r) * size_t(cols)];
            // The source's row is read only when some of its MCUs stay.
            const bool keepsSome = std::find(flags, flags + cols, uint8_t(0)) != flags + cols;
            std::optional<TMcuWalker> src;
            if (keepsSome) src.emplace(source, h, index.Rows[size_t(r)]);
            for (int32_t m = 0; m < cols; ++m) {
                const bool take = flags[m] != 0;
                if (!(take ? edited.Next<true>(&mine) : edited.Next<false>(nullptr))) return fail();
                if (keepsSome && !(take ? src->Next<false>(nullptr) : src->Next<true>(&theirs)))
                    return fail();
                if (!encode(pred, take ? mine : theirs)) return fail();
            }
        }
        // The first MCU after the run is coded again from its values, which brings the DC
        // predictors back to the source's; the copy goes on from the next one.
        if (r1 < rows) {
            TMcuWalker src(source, h, index.Rows[size_t(r1)]);
            if (!src.Next<true>(&theirs) || !encode(pred, theirs)) return fail();
            from.DataBit = src.Reader().DataBit();
            src.Reader().FilePosition(from.FileByte, from.Bit);
        } else {
            from = index.Rows[size_t(rows)];
        }
        r0 = r1;
    }
    copyUpTo(index.Rows[size_t(rows)]);
    w.Align();
    w.Raw(reinterpret_cast<const uint8_t*>("\xFF\xD9"), 2);
    w.Finish();
    return true;
}

}  // namespace tilvo
