// Reads a fuzz input a byte at a time; past its end every byte is 0, so a
// generator driven by it always comes to an end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzing {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool more() const { return pos_ < size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace fuzzing
