#pragma once
// Memory that held a secret or a request, overwritten before it is given back.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace p11agent::platform {

// Overwrites memory with zero bytes in a way the compiler may not remove.
void secure_zero(void* data, std::size_t size);

// An allocator whose blocks are overwritten with zero bytes before they are given back.
template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* block, std::size_t n) noexcept {
    secure_zero(block, n * sizeof(T));
    std::allocator<T>().deallocate(block, n);
  }
  friend bool operator==(const WipingAllocator&, const WipingAllocator&) = default;
};

// Text that held a request or a PIN. A heap block it leaves behind (also when it grows into
// a larger one) is wiped by the allocator; the room inside the object, which short texts
// use instead of a block, is wiped when the object goes.
class WipedString : public std::basic_string<char, std::char_traits<char>, WipingAllocator<char>> {
 public:
  using Base = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
  using Base::Base;
  WipedString() = default;
  explicit WipedString(std::string_view text) : Base(text.data(), text.size()) {}
  WipedString(const WipedString&) = default;
  WipedString(WipedString&&) noexcept = default;
  WipedString& operator=(const WipedString&) = default;
  WipedString& operator=(WipedString&&) noexcept = default;
  ~WipedString() { secure_zero(data(), capacity()); }

  // Drops the first `count` bytes, wiping the bytes that the rest moved out of.
  void erase_front(std::size_t count) {
    const std::size_t old_size = size();
    erase(0, count);
    secure_zero(data() + size(), old_size - size());
  }
};

}  // namespace p11agent::platform
