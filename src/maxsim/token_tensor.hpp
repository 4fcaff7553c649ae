#pragma once
// A read-only view of a batch of token rows laid out as a 3-axis array
// (items x tokens x width), addressed through a base pointer and strides
// counted in elements, so strided or reversed arrays are read in place.
#include <cstddef>

namespace quarnel {

template <typename T>
struct TokenTensor {
  const T* data = nullptr;
  std::size_t items = 0;
  std::size_t tokens = 0;
  std::size_t width = 0;
  std::ptrdiff_t item_stride = 0;
  std::ptrdiff_t token_stride = 0;
  std::ptrdiff_t value_stride = 1;

  // True when at least one token row exists, i.e. something would be read.
  bool has_rows() const { return items != 0 && tokens != 0; }

  // First value of row (item, token); callers keep both indices in range.
  const T* row(std::size_t item, std::size_t token) const {
    return data + static_cast<std::ptrdiff_t>(item) * item_stride + static_cast<std::ptrdiff_t>(token) * token_stride;
  }

  // Value k of a row, honouring the last-axis stride.
  const T& value(const T* row_start, std::size_t k) const {
    return row_start[static_cast<std::ptrdiff_t>(k) * value_stride];
  }
};

}  // namespace quarnel
