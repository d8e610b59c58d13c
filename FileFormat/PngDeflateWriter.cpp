// The PNG encoder on libdeflate. libdeflate compresses whole buffers only, so every filtered row
// (each with its filter-type byte, pass after pass when interlaced) is gathered first, then
// compressed and cut into IDAT chunks of at most 1 MiB. Large pictures are cut into pieces of
// rows, one a core, each filtered and deflated on a thread of its own; every piece but the last
// is made to end as a full flush ends (its last block no longer the last, then an empty stored
// block), so that the pieces in order, behind one zlib header and before the Adler-32 of all the
// rows (combined from the pieces'), are one zlib stream.
#include "FileFormat/PngDeflateWriter.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace tilvo {

namespace {

constexpr size_t kIdatChunkBytes = size_t{1} << 20;
// Filtered rows below this many bytes a core are deflated whole.
constexpr int64_t kMinPieceBytes = int64_t{4} << 20;

// Adam7: where each pass starts and how far apart its pixels and rows are.
constexpr uint32_t kPassX0[7] = {0, 4, 0, 2, 0, 1, 0};
constexpr uint32_t kPassY0[7] = {0, 0, 4, 0, 2, 0, 1};
constexpr uint32_t kPassDX[7] = {8, 8, 4, 4, 2, 2, 1};
constexpr uint32_t kPassDY[7] = {8, 8, 8, 4, 4, 2, 2};

uint32_t PassSize(uint32_t size, uint32_t start, uint32_t step) {
    return size > start ? (size - start + step - 1) / step : 0;
}

struct TPass {
    uint32_t X0, Y0, DX, DY, Width, Height;
};

std::vector<TPass> PassesOf(const TPngLayout& layout) {
    std::vector<TPass> passes;
    if (!layout.Interlaced) {
        passes.push_back({0, 0, 1, 1, layout.Width, layout.Height});
        return passes;
    }
    for (int p = 0; p < 7; ++p) {
        const TPass pass{kPassX0[p],
                         kPassY0[p],
                         kPassDX[p],
                         kPassDY[p],
                         PassSize(layout.Width, kPassX0[p], kPassDX[p]),
                         PassSize(layout.Height, kPassY0[p], kPassDY[p])};
        if (pass.Width > 0 && pass.Height > 0) passes.push_back(pass);  // empty passes are skipped
    }
    return passes;
}

// The cost libpng's heuristic gives a filtered row: the sum of its bytes taken as signed values,
// without their signs.
inline uint32_t Cost(uint8_t v) {
    return uint32_t(std::abs(int(int8_t(v))));
}

// Filters one row of n bytes (bpp bytes per pixel) with each of the four predictors into the
// scratch rows and answers the cheapest filter type; the winner's bytes are in choice[type].
// `prev` is the unfiltered row above (zeros on a pass's first row).
class TRowFilter {
  public:
    TRowFilter(size_t n, size_t bpp) : n_(n), bpp_(bpp), scratch_(4 * n) {}

    const uint8_t* Choose(const uint8_t* __restrict raw, const uint8_t* __restrict prev,
                          uint8_t& type) {
        const size_t n = n_, bpp = std::min(bpp_, n_);
        uint8_t* __restrict sub = scratch_.data();
        uint8_t* __restrict up = sub + n;
        uint8_t* __restrict avg = up + n;
        uint8_t* __restrict paeth = avg + n;
        uint32_t cNone = 0, cSub = 0, cUp = 0, cAvg = 0, cPaeth = 0;
        for (size_t i = 0; i < bpp; ++i) {
            sub[i] = raw[i];
            up[i] = uint8_t(raw[i] - prev[i]);
            avg[i] = uint8_t(raw[i] - (prev[i] >> 1));
            paeth[i] = uint8_t(raw[i] - prev[i]);  // a = c = 0: the predictor is b
            cNone += Cost(raw[i]);
            cSub += Cost(sub[i]);
            cUp += Cost(up[i]);
            cAvg += Cost(avg[i]);
            cPaeth += Cost(paeth[i]);
        }
        for (size_t i = bpp; i < n; ++i) {
            const int a = raw[i - bpp], b = prev[i], c = prev[i - bpp];
            const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
            const int pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            sub[i] = uint8_t(raw[i] - a);
            up[i] = uint8_t(raw[i] - b);
            avg[i] = uint8_t(raw[i] - ((a + b) >> 1));
            paeth[i] = uint8_t(raw[i] - pred);
            cNone += Cost(raw[i]);
            cSub += Cost(sub[i]);
            cUp += Cost(up[i]);
            cAvg += Cost(avg[i]);
            cPaeth += Cost(paeth[i]);
        }
        // The first of the cheapest wins, in the order of the filter types.
        const uint32_t costs[5] = {cNone, cSub, cUp, cAvg, cPaeth};
        type = 0;
        for (uint8_t t = 1; t < 5; ++t)
            if (costs[t] < costs[type]) type = t;
        return type == 0 ? raw : scratch_.data() + size_t(type - 1) * n;
    }

  private:
    size_t n_, bpp_;
    std::vector<uint8_t> scratch_;
};

void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

void WriteChunk(TStream& stream, const char type[4], const uint8_t* data, size_t size) {
    uint8_t head[8];
    PutBE32(head, uint32_t(size));
    std::memcpy(head + 4, type, 4);
    uint32_t crc = libdeflate_crc32(0, head + 4, 4);
    if (size > 0) crc = libdeflate_crc32(crc, data, size);
    uint8_t tail[4];
    PutBE32(tail, crc);
    stream.Write(head, 8);
    if (size > 0) stream.Write(data, int64_t(size));
    stream.Write(tail, 4);
}

struct TCompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// Loads row k of the pass into `raw` (its n bytes), through `full` when the pass takes every
// DX-th pixel of the picture's row.
void LoadPassRow(const TPass& p, uint32_t k, size_t channels, const TPngRowSource& rows,
                 std::vector<uint8_t>& full, std::vector<uint8_t>& raw) {
    const int32_t y = int32_t(p.Y0 + k * p.DY);
    if (p.DX == 1) {
        rows(y, raw.data());
        return;
    }
    rows(y, full.data());
    const uint8_t* s = full.data() + size_t(p.X0) * channels;
    uint8_t* d = raw.data();
    for (uint32_t x = 0; x < p.Width; ++x, s += size_t(p.DX) * channels, d += channels)
        std::memcpy(d, s, channels);
}

// A run of consecutive filtered rows (counted over the passes in order), deflated on its own.
struct TPiece {
    int64_t FirstRow = 0, EndRow = 0;
    size_t Offset = 0, Bytes = 0;  // in the filtered rows
    std::unique_ptr<uint8_t[]> Deflated;
    size_t DeflatedBytes = 0;
    uint32_t Adler = 1;
    std::exception_ptr Error;
};

// Filters rows [piece.FirstRow, piece.EndRow) into filtered + piece.Offset. `afterRow` runs after
// each row (the progress of the calling thread) and answers false to stop.
template <class AfterRow>
void FilterPiece(const TPngLayout& layout, const std::vector<TPass>& passes, size_t channels,
                 const TPngRowSource& rows, const TPiece& piece, uint8_t* filtered,
                 AfterRow afterRow) {
    const size_t fullRowBytes = size_t(layout.Width) * channels;
    std::vector<uint8_t> full(fullRowBytes), raw(fullRowBytes), prev(fullRowBytes);
    uint8_t* out = filtered + piece.Offset;
    int64_t passFirst = 0;  // the index of the pass's first row over all passes
    for (const TPass& p : passes) {
        const int64_t passEnd = passFirst + p.Height;
        const int64_t from = std::max(piece.FirstRow, passFirst);
        const int64_t to = std::min(piece.EndRow, passEnd);
        if (from < to) {
            const size_t n = size_t(p.Width) * channels;
            TRowFilter filter(n, channels);
            // The row above the piece's first: zeros on the pass's first row, else that row.
            if (from == passFirst)
                std::fill(prev.begin(), prev.begin() + ptrdiff_t(n), uint8_t{0});
            else if (layout.Filters != TPngFilterChoice::None)
                LoadPassRow(p, uint32_t(from - passFirst - 1), channels, rows, full, prev);
            for (int64_t r = from; r < to; ++r) {
                LoadPassRow(p, uint32_t(r - passFirst), channels, rows, full, raw);
                if (layout.Filters == TPngFilterChoice::None) {
                    *out = 0;
                    std::memcpy(out + 1, raw.data(), n);
                } else {
                    uint8_t type = 0;
                    const uint8_t* chosen = filter.Choose(raw.data(), prev.data(), type);
                    *out = type;
                    std::memcpy(out + 1, chosen, n);
                    raw.swap(prev);
                }
                out += n + 1;
                if (!afterRow()) return;
            }
        }
        passFirst = passEnd;
    }
}

// Finds where the last block of a raw deflate stream starts and where it ends (bit positions, the
// first bit of a byte its lowest) by decoding the stream with zlib; false when it does not decode.
bool FindLastBlock(const uint8_t* data, size_t size, uint64_t& lastStart, uint64_t& end) {
    if (size == 0 || size > UINT32_MAX) return false;
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    std::vector<uint8_t> sink(size_t{1} << 18);
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = uInt(size);
    uint64_t blockStart = 0;
    bool found = false;
    for (;;) {
        z.next_out = sink.data();
        z.avail_out = uInt(sink.size());
        const int r = inflate(&z, Z_BLOCK);
        // data_type: the bits not yet used of the last byte taken, + 64 inside the last block,
        // + 128 right after a block's end. Right after the last block's end it stops once more
        // before it skips to the next byte.
        const uint64_t bit = uint64_t(z.next_in - data) * 8 - uint64_t(z.data_type & 63);
        if (r != Z_OK) break;
        if (z.data_type & 128) {
            if (z.data_type & 64) {
                lastStart = blockStart;
                end = bit;
                found = true;
                break;
            }
            blockStart = bit;
        }
    }
    inflateEnd(&z);
    return found && end > lastStart && end <= uint64_t(size) * 8;
}

// Makes the piece's deflate stream one that others may follow: its last block no longer the last,
// then an empty stored block (what a full flush writes), so that the stream ends on a byte. The
// buffer has room for 5 more bytes. False when the stream cannot be read back.
bool OpenStreamEnd(uint8_t* data, size_t& size) {
    uint64_t lastStart = 0, end = 0;
    if (!FindLastBlock(data, size, lastStart, end)) return false;
    data[lastStart / 8] = uint8_t(data[lastStart / 8] & ~(1u << (lastStart % 8)));
    size_t n = size_t((end + 7) / 8);
    const unsigned used = unsigned(end % 8);
    if (used != 0) data[n - 1] = uint8_t(data[n - 1] & ((1u << used) - 1));
    // The stored block's three header bits (all zero) lie in what is left of the last byte when
    // it has three bits left, else in a zero byte of their own; its length 0 and the length's
    // complement follow on the next whole byte.
    if (used == 0 || used > 5) data[n++] = 0;
    const uint8_t empty[4] = {0, 0, 0xFF, 0xFF};
    std::memcpy(data + n, empty, 4);
    size = n + 4;
    return true;
}

// The zlib header libdeflate writes for `level`.
void ZlibHeader(int level, uint8_t out[2]) {
    const unsigned hint = level < 2 ? 0 : level < 6 ? 1 : level < 8 ? 2 : 3;
    const unsigned cmf = 0x78, flg = hint << 6;
    out[0] = uint8_t(cmf);
    out[1] = uint8_t(flg + 31 - (cmf << 8 | flg) % 31);
}

int HardwareThreads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : int(std::min(n, 64u));
}

}  // namespace

void EncodePngDeflate(TStream& stream, const TPngLayout& layout, const TPngRowSource& rows,
                      TProgress& progress) {
    if (layout.Width == 0 || layout.Height == 0)
        throw Exception("Write Image (PNG): empty picture");
    const size_t channels = layout.ColorType == 2 ? 3 : 1;
    CheckPictureSize(layout.Width, layout.Height, int(channels) * 8);

    // The filtered rows of every pass, each led by its filter type, counted in 64 bits.
    const std::vector<TPass> passes = PassesOf(layout);
    int64_t filteredBytes = 0, totalRows = 0;
    for (const TPass& p : passes) {
        filteredBytes =
            CheckedAdd(filteredBytes,
                       CheckedMul(CheckedAdd(CheckedMul(p.Width, int64_t(channels)), 1), p.Height));
        totalRows += p.Height;
    }
    if (filteredBytes > kMaxSurfaceBytes + kMaxSurfaceSide) throw EPictureTooLarge();

    // The rows are cut into pieces, one per core (pictures under a few MiB
    // stay whole), each filtered and deflated on a thread of its own.
    int64_t pieceCount = layout.Pieces > 0 ? int64_t(layout.Pieces)
                                           : std::min<int64_t>(HardwareThreads(),
                                                               filteredBytes / kMinPieceBytes);
    pieceCount = std::clamp<int64_t>(pieceCount, 1, totalRows);
    std::vector<TPiece> pieces(static_cast<size_t>(pieceCount));
    {
        // Every piece but the last is decoded once more to find where its last block lies (about
        // a quarter of its deflating time): those pieces take four parts of the bytes to the
        // last one's five, so that the threads finish together.
        const size_t n = pieces.size();
        std::vector<size_t> endAt(n);
        for (size_t i = 0; i < n; ++i)
            endAt[i] = size_t(double(filteredBytes) * double(4 * (i + 1)) / double(4 * n + 1));
        // Row r's offset among the filtered bytes, pass by pass.
        int64_t row = 0;
        size_t offset = 0;
        size_t piece = 0;
        pieces[0].FirstRow = 0;
        pieces[0].Offset = 0;
        for (const TPass& p : passes) {
            const size_t rowBytes = size_t(p.Width) * channels + 1;
            for (uint32_t k = 0; k < p.Height; ++k, ++row, offset += rowBytes) {
                // A piece ends where the rows so far reach its share of the bytes.
                while (piece + 1 < pieces.size() &&
                       offset >= endAt[piece] &&
                       row > pieces[piece].FirstRow) {
                    pieces[piece].EndRow = row;
                    pieces[piece].Bytes = offset - pieces[piece].Offset;
                    ++piece;
                    pieces[piece].FirstRow = row;
                    pieces[piece].Offset = offset;
                }
            }
        }
        pieces[piece].EndRow = row;
        pieces[piece].Bytes = offset - pieces[piece].Offset;
        pieces.resize(piece + 1);
    }

    // Neither buffer is cleared first: every byte is written before it is read.
    auto filtered = std::make_unique_for_overwrite<uint8_t[]>(size_t(filteredBytes));
    std::atomic<int64_t> rowsDone{0};
    std::atomic<bool> stop{false};
    std::atomic<size_t> nextPiece{0};
    const bool whole = pieces.size() == 1;

    // Takes pieces until none is left: filters, deflates, sums and opens each.
    auto work = [&](auto afterRow) {
        std::unique_ptr<libdeflate_compressor, TCompressorDeleter> compressor;
        for (size_t i = nextPiece++; i < pieces.size() && !stop; i = nextPiece++) {
            TPiece& piece = pieces[i];
            try {
                FilterPiece(layout, passes, channels, rows, piece, filtered.get(), afterRow);
                if (stop || whole) continue;
                if (!compressor) compressor.reset(libdeflate_alloc_compressor(layout.Level));
                if (!compressor) throw std::bad_alloc();
                const uint8_t* in = filtered.get() + piece.Offset;
                const size_t bound =
                    libdeflate_deflate_compress_bound(compressor.get(), piece.Bytes) + 5;
                piece.Deflated = std::make_unique_for_overwrite<uint8_t[]>(bound);
                piece.DeflatedBytes = libdeflate_deflate_compress(
                    compressor.get(), in, piece.Bytes, piece.Deflated.get(), bound - 5);
                if (piece.DeflatedBytes == 0)
                    throw Exception("Write Image (PNG): compression failed");
                piece.Adler = libdeflate_adler32(1, in, piece.Bytes);
                if (i + 1 < pieces.size() && !OpenStreamEnd(piece.Deflated.get(), piece.DeflatedBytes))
                    throw Exception("Write Image (PNG): compression failed");
            } catch (...) {
                piece.Error = std::current_exception();
                stop = true;
            }
        }
    };
    if (whole) {
        work([&] {
            progress.Step(++rowsDone, totalRows * 5);
            return true;
        });
    } else {
        // One thread a core works on the pieces; this one reports their progress every few
        // milliseconds and once more when they are done, so that ECancelled from the listener
        // stops them (at the next row, or before the next deflate) and nothing is written.
        std::mutex mutex;
        std::condition_variable finished;
        size_t running = 0;
        std::vector<std::thread> helpers;
        // The threads are joined however this block is left, after being told to stop.
        struct TJoin {
            std::vector<std::thread>& threads;
            std::atomic<bool>& stop;
            bool done = false;
            ~TJoin() {
                if (!done) stop = true;
                for (std::thread& t : threads)
                    if (t.joinable()) t.join();
            }
        } join{helpers, stop};
        const size_t threads = std::min<size_t>(pieces.size(), size_t(HardwareThreads()));
        for (size_t t = 0; t < threads; ++t) {
            {
                std::lock_guard lock(mutex);
                ++running;
            }
            helpers.emplace_back([&] {
                work([&] {
                    ++rowsDone;
                    return !stop.load(std::memory_order_relaxed);
                });
                std::lock_guard lock(mutex);
                --running;
                finished.notify_all();
            });
        }
        for (;;) {
            bool done = false;
            {
                std::unique_lock lock(mutex);
                done = finished.wait_for(lock, std::chrono::milliseconds(15),
                                         [&] { return running == 0; });
            }
            progress.Step(rowsDone, totalRows * 5);
            if (done) break;
        }
        join.done = true;
    }
    for (const TPiece& piece : pieces)
        if (piece.Error) std::rethrow_exception(piece.Error);

    std::unique_ptr<uint8_t[]> compressed;
    size_t compressedSize = 0;
    if (whole) {
        std::unique_ptr<libdeflate_compressor, TCompressorDeleter> compressor(
            libdeflate_alloc_compressor(layout.Level));
        if (!compressor) throw std::bad_alloc();
        const size_t bound =
            libdeflate_zlib_compress_bound(compressor.get(), size_t(filteredBytes));
        compressed = std::make_unique_for_overwrite<uint8_t[]>(bound);
        compressedSize = libdeflate_zlib_compress(compressor.get(), filtered.get(),
                                                  size_t(filteredBytes), compressed.get(), bound);
        if (compressedSize == 0) throw Exception("Write Image (PNG): compression failed");
    } else {
        // One zlib stream: the header, the pieces in order, the Adler-32 of all the rows.
        size_t total = 2 + 4;
        for (const TPiece& piece : pieces) total += piece.DeflatedBytes;
        compressed = std::make_unique_for_overwrite<uint8_t[]>(total);
        ZlibHeader(layout.Level, compressed.get());
        size_t at = 2;
        uLong adler = pieces[0].Adler;
        for (size_t i = 0; i < pieces.size(); ++i) {
            std::memcpy(compressed.get() + at, pieces[i].Deflated.get(), pieces[i].DeflatedBytes);
            at += pieces[i].DeflatedBytes;
            if (i > 0) adler = adler32_combine64(adler, pieces[i].Adler, z_off64_t(pieces[i].Bytes));
        }
        PutBE32(compressed.get() + at, uint32_t(adler));
        compressedSize = at + 4;
        pieces.clear();
    }
    filtered.reset();

    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    stream.Write(kSignature, 8);
    uint8_t ihdr[13];
    PutBE32(ihdr, layout.Width);
    PutBE32(ihdr + 4, layout.Height);
    ihdr[8] = 8;
    ihdr[9] = layout.ColorType;
    ihdr[10] = 0;  // deflate
    ihdr[11] = 0;  // adaptive filtering
    ihdr[12] = layout.Interlaced ? 1 : 0;
    WriteChunk(stream, "IHDR", ihdr, sizeof ihdr);
    if (!layout.Palette.empty())
        WriteChunk(stream, "PLTE", layout.Palette.data(), layout.Palette.size());
    if (!layout.Transparency.empty())
        WriteChunk(stream, "tRNS", layout.Transparency.data(), layout.Transparency.size());
    for (size_t pos = 0; pos < compressedSize; pos += kIdatChunkBytes)
        WriteChunk(stream, "IDAT", compressed.get() + pos,
                   std::min(kIdatChunkBytes, compressedSize - pos));
    WriteChunk(stream, "IEND", nullptr, 0);
    progress.Step(1, 1);
}

}  // namespace tilvo
