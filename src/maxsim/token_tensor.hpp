#pragma once
// Read-only views of token rows. TokenTensor is a batch laid out as a 3-axis
// array (items x tokens x width) with strides in bytes, so strided, reversed
// or misaligned NumPy arrays are read in place; TokenRows is one item's rows,
// the form the scoring kernels take (any item may have its own token count).
#include <cstddef>
#include <cstring>

namespace quarnel {

// `count` rows of the call's width; row r starts r * stride bytes after data.
struct TokenRows {
  const unsigned char* data = nullptr;
  std::size_t count = 0;
  std::ptrdiff_t stride = 0;

  // The row's first value; it may be misaligned, so kernels read it with
  // unaligned loads only.
  const float* row(std::size_t r) const {
    return reinterpret_cast<const float*>(data + static_cast<std::ptrdiff_t>(r) * stride);
  }
};

template <typename T>
struct TokenTensor {
  const unsigned char* data = nullptr;
  std::size_t items = 0;
  std::size_t tokens = 0;
  std::size_t width = 0;
  std::ptrdiff_t item_stride = 0;  // bytes
  std::ptrdiff_t token_stride = 0;
  std::ptrdiff_t value_stride = sizeof(T);

  // True when at least one token row exists, i.e. something would be read.
  bool has_rows() const { return items != 0 && tokens != 0; }

  // True when every row with two or more values is a contiguous run.
  bool rows_contiguous() const { return !has_rows() || width < 2 || value_stride == sizeof(T); }

  const unsigned char* row_bytes(std::size_t item, std::size_t token) const {
    return data + static_cast<std::ptrdiff_t>(item) * item_stride + static_cast<std::ptrdiff_t>(token) * token_stride;
  }

  // Value k of row (item, token), read bytewise (the buffer may be misaligned).
  T value(std::size_t item, std::size_t token, std::size_t k) const {
    T v;
    std::memcpy(&v, row_bytes(item, token) + static_cast<std::ptrdiff_t>(k) * value_stride, sizeof(T));
    return v;
  }

  // Rows of one item, for contiguous rows.
  TokenRows item(std::size_t i) const { return {row_bytes(i, 0), tokens, token_stride}; }
};

}  // namespace quarnel
