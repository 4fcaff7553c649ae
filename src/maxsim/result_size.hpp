#pragma once
// Size checks for the buffers the MaxSim scorers allocate: shapes come from
// caller arrays, and an array with an empty axis may have huge other axes.
#include <cstddef>
#include <string>

#include "core/panic.hpp"

namespace quarnel {

inline std::size_t allocation_size(std::size_t a, std::size_t b, const char* what) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) throw_internal(std::string(what) + " is too large to allocate");
  return product;
}

}  // namespace quarnel
