// Editing a baseline JPEG inside its entropy-coded data. The bits of the MCUs nobody touched are
// copied as they stand (shifted to wherever they fall in the new stream); only the MCU rows that
// hold changes are decoded to coefficients and coded again with the source's Huffman tables. The
// whole picture's coefficients are never held: the source is walked once to learn where each MCU
// row starts, and the rows with changes are walked a second time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tilvo {

// Where every MCU row of a source's scan starts, with the DC predictors there, and the header
// segments the spliced file repeats. Made by IndexJpegScan from the exact bytes it describes.
class TJpegScanIndex;

// Walks the one scan of `source`: a sequential Huffman-coded 8-bit JPEG with three components
// in one interleaved scan and no restart interval, whose every code and coefficient decodes
// cleanly and whose data ends where its picture does (only padding bits and EOI follow). Answers
// nullptr, with a short English reason in *whyNot, for any other stream; nothing is thrown.
std::shared_ptr<const TJpegScanIndex> IndexJpegScan(std::span<const uint8_t> source,
                                                    std::string* whyNot = nullptr);

// The index's MCU grid.
int32_t ScanIndexMcuColumns(const TJpegScanIndex& index);
int32_t ScanIndexMcuRows(const TJpegScanIndex& index);

// A JPEG stream (any sequential Huffman-coded one with the source's quantisation tables, sampling
// and width) of edited MCU rows of the picture, from MCU row FirstRow on.
struct TEditedRows {
    const std::vector<uint8_t>* Stream = nullptr;
    int32_t FirstRow = 0;
};

// Gives a stream that holds at least MCU rows first .. end - 1; it stays valid until the next
// call.
using TMcuRowsEncoder = std::function<TEditedRows(int32_t first, int32_t end)>;

// Writes to `out` (replacing its contents) the source with every MCU whose flag in `changed`
// (McuRows × McuColumns bytes, row by row) is set taken from the encoder's streams; every other
// MCU keeps its coefficients, and MCU rows without a change keep their very bits. The header has
// a JFIF segment, the source's DQT, SOF and DHT segments and its SOS; no other segment of the
// source. Answers false, leaving `out` empty, when a coefficient to be coded has no code in the
// source's tables or an encoder's stream does not match the grid; the caller then takes another
// way. The encoder may throw; the exception passes through.
bool SpliceJpeg(std::span<const uint8_t> source, const TJpegScanIndex& index,
                const std::vector<uint8_t>& changed, const TMcuRowsEncoder& encodeRows,
                std::vector<uint8_t>& out);

}  // namespace tilvo
