// Buffers whose new elements are left uninitialised. A buffer of input or
// output is always written before it is read; zeroing it first would touch
// every page of it for nothing, and on some machines a page's first touch
// is what reading a small file costs most.
#pragma once

#include <memory>
#include <new>
#include <vector>

namespace mirvo {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() = default;
  template <class U>
  explicit DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using Buffer = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace mirvo
