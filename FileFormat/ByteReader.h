// The one bounds-checked reader every picture reader parses its file through: each read checks
// that the bytes are there and throws the reader's own message when they are not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "Effector/Exception.h"

namespace tilvo {

class TByteReader {
public:
    // `truncated` is the text of the exception thrown when data runs out.
    TByteReader(const uint8_t* data, size_t size, std::string truncated = "file truncated")
        : data_(data), size_(size), truncated_(std::move(truncated)) {}

    size_t Size() const { return size_; }
    size_t Pos() const { return pos_; }
    size_t Remaining() const { return size_ - pos_; }
    bool AtEnd() const { return pos_ >= size_; }
    const uint8_t* Data() const { return data_; }

    void Seek(uint64_t pos) {
        if (pos > size_) Fail();
        pos_ = size_t(pos);
    }
    void Skip(uint64_t n) {
        if (n > Remaining()) Fail();
        pos_ += size_t(n);
    }
    // The next n bytes, which stay valid as long as the data does.
    const uint8_t* Bytes(uint64_t n) {
        if (n > Remaining()) Fail();
        const uint8_t* p = data_ + pos_;
        pos_ += size_t(n);
        return p;
    }
    uint8_t U8() { return *Bytes(1); }
    int8_t S8() { return int8_t(U8()); }
    uint16_t U16LE() { const uint8_t* p = Bytes(2); return uint16_t(p[0] | p[1] << 8); }
    uint16_t U16BE() { const uint8_t* p = Bytes(2); return uint16_t(p[1] | p[0] << 8); }
    uint32_t U32LE() {
        const uint8_t* p = Bytes(4);
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    uint32_t U32BE() {
        const uint8_t* p = Bytes(4);
        return uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
    }
    int16_t S16LE() { return int16_t(U16LE()); }
    int16_t S16BE() { return int16_t(U16BE()); }
    int32_t S32LE() { return int32_t(U32LE()); }
    int32_t S32BE() { return int32_t(U32BE()); }

    [[noreturn]] void Fail() const { throw Exception(truncated_); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    std::string truncated_;
};

}  // namespace tilvo
