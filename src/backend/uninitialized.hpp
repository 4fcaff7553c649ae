#pragma once
// Vectors of numbers whose elements start unset instead of zeroed, for large
// buffers that are written in full before they are read (a similarity matrix,
// the code sides of quantised MaxSim): zeroing them first would be one more
// pass over tens of megabytes, and a serial one.
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarnel {

template <typename T>
class UninitializedAllocator : public std::allocator<T> {
  static_assert(std::is_trivially_default_constructible_v<T>, "only for plain numbers");

 public:
  template <typename U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <typename U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

  // A value-initialised element (resize, the size constructor) is left unset.
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <typename T>
using UninitializedVector = std::vector<T, UninitializedAllocator<T>>;

}  // namespace quarnel
