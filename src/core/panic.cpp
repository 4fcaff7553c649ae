#include "core/panic.hpp"

namespace quarnel {

void throw_index_error(const char* what, std::size_t index, std::size_t length) {
  throw InternalError(std::string("index out of bounds: ") + what + ": the index is " +
                      std::to_string(index) + " but the length is " + std::to_string(length));
}

void throw_internal(const std::string& message) { throw InternalError(message); }

}  // namespace quarnel
