// Reading a fuzz input as a stream of choices: each Take* consumes bytes from
// the front and answers 0 / empty once the input is used up, so every input
// is a valid (if short) recipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

class FuzzInput {
  public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    size_t Left() const { return size_ - at_; }

    uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }
    bool Flag() { return (Byte() & 1) != 0; }
    uint16_t Word() { return (uint16_t)(Byte() | Byte() << 8); }
    uint32_t Dword() { return (uint32_t)Word() | (uint32_t)Word() << 16; }

    // Up to `n` bytes as they come (fewer at the end of the input).
    std::string Bytes(size_t n) {
        if (n > Left())
            n = Left();
        std::string bytes((const char *)data_ + at_, n);
        at_ += n;
        return bytes;
    }
    // Everything left.
    std::string Rest() { return Bytes(Left()); }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};
