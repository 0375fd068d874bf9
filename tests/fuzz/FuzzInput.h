// SPDX-License-Identifier: MIT
// Reads a fuzz input as a stream of small decisions. Past its end every read gives
// zero, so any byte string is a valid input and a shorter one is a prefix of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace fuzzinput {

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }

    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    // A value in [0, count).
    unsigned Pick(unsigned count) { return count ? Byte() % count : 0; }

    uint32_t Word() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value |= uint32_t{Byte()} << (8 * i);
        return value;
    }

    uint64_t Quad() { return uint64_t{Word()} | uint64_t{Word()} << 32; }

    // Up to `limit` bytes, the count given by the next byte.
    std::string Bytes(size_t limit) {
        size_t length = Byte();
        if (length > limit) length = limit;
        if (length > size_ - pos_ || pos_ > size_) length = pos_ < size_ ? size_ - pos_ : 0;
        std::string text(reinterpret_cast<const char*>(data_ + pos_), length);
        pos_ += length;
        return text;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace fuzzinput
