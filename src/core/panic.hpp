#pragma once
// The one exception type for violated internal preconditions. Code checks
// indices and lengths before it reads and throws this instead of reading out
// of bounds; the Python layer turns it into PanicException.
#include <cstddef>
#include <stdexcept>
#include <string>

namespace quarnel {

class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void throw_index_error(const char* what, std::size_t index, std::size_t length);
[[noreturn]] void throw_internal(const std::string& message);

// Throws unless index < length.
inline void check_index(std::size_t index, std::size_t length, const char* what) {
  if (index >= length) throw_index_error(what, index, length);
}

// Throws unless a sequence of `length` elements holds at least `needed`.
inline void check_length(std::size_t length, std::size_t needed, const char* what) {
  if (length < needed) throw_index_error(what, needed == 0 ? 0 : needed - 1, length);
}

inline void require(bool condition, const char* message) {
  if (!condition) throw_internal(message);
}

// a * b, refusing a product that does not fit: a wrapped size would pass a
// length check it should fail.
inline std::size_t checked_product(std::size_t a, std::size_t b, const char* what) {
  std::size_t product = 0;
  require(!__builtin_mul_overflow(a, b, &product), what);
  return product;
}

// The same, for the size of an array named by `what`.
inline std::size_t checked_size(std::size_t a, std::size_t b, const char* what) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) throw_internal(std::string(what) + " size overflows");
  return product;
}

}  // namespace quarnel
