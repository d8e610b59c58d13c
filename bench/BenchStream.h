// A stream over a buffer that was allocated and touched beforehand, so that what a writer
// benchmark times is the writer and not the growth of a vector or the first touch of fresh pages.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "FileFormat/Stream.h"

namespace tilvo::bench {

class TBufferStream : public TStream {
  public:
    explicit TBufferStream(size_t capacity) : data_(capacity, 1) {}
    int64_t Read(void*, int64_t) override { return 0; }
    void Write(const void* buffer, int64_t count) override {
        if (size_t(count) > data_.size() - pos_) throw EFileError("bench buffer full");
        std::memcpy(data_.data() + pos_, buffer, size_t(count));
        pos_ += size_t(count);
    }
    int64_t Seek(int64_t offset, TSeekOrigin) override {
        pos_ = size_t(offset);
        return offset;
    }
    int64_t Size() override { return int64_t(pos_); }
    void Rewind() { pos_ = 0; }

  private:
    std::vector<uint8_t> data_;
    size_t pos_ = 0;
};

}  // namespace tilvo::bench
