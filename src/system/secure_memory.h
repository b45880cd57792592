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

// Zeroed bytes for a module to write into, wiped when they go. One block, made and wiped
// as one: a vector with the allocator above zeroes and destroys its bytes one at a time
// where the compiler does not optimise (the sanitized builds), and a module host's room for
// attribute values may be megabytes.
class WipedBlock {
 public:
  explicit WipedBlock(std::size_t size) : bytes_(new std::byte[size]()), size_(size) {}
  WipedBlock(const WipedBlock&) = delete;
  WipedBlock& operator=(const WipedBlock&) = delete;
  ~WipedBlock() { secure_zero(bytes_.get(), size_); }
  std::byte* data() { return bytes_.get(); }

 private:
  std::unique_ptr<std::byte[]> bytes_;
  std::size_t size_;
};

// Text that held a request or a PIN. Its characters are always in a heap block, which the
// allocator wipes when it is given back (also when the text grows into a larger one): the
// room inside the object that a short string would use instead is never used, since a
// text that grew out of it would leave its first bytes there.
class WipedString : public std::basic_string<char, std::char_traits<char>, WipingAllocator<char>> {
 public:
  using Base = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
  // Past the room inside the object (15 bytes in every standard library this builds with).
  static constexpr std::size_t HEAP_FROM = 32;

  WipedString() { reserve(HEAP_FROM); }
  explicit WipedString(std::string_view text) : WipedString() { append(text.data(), text.size()); }
  WipedString(const char* text, std::size_t size) : WipedString(std::string_view(text, size)) {}
  WipedString(const char* text) : WipedString(std::string_view(text)) {}
  WipedString(const WipedString& other) : WipedString(std::string_view(other)) {}
  // A moved text's block goes with it; the text moved from is left empty and in a block.
  WipedString(WipedString&& other) noexcept : Base(std::move(static_cast<Base&>(other))) { other.keep_on_heap(); }
  WipedString& operator=(const WipedString& other) {
    if (this != &other) assign(other.data(), other.size());
    return *this;
  }
  WipedString& operator=(WipedString&& other) noexcept {
    if (this != &other) {
      Base::operator=(std::move(static_cast<Base&>(other)));
      keep_on_heap();
      other.keep_on_heap();
    }
    return *this;
  }
  ~WipedString() { secure_zero(data(), capacity()); }

  // Drops the first `count` bytes, wiping the bytes that the rest moved out of.
  void erase_front(std::size_t count) {
    const std::size_t old_size = size();
    erase(0, count);
    secure_zero(data() + size(), old_size - size());
  }

 private:
  void keep_on_heap() noexcept {
    // reserve may throw only where memory is gone; an empty text in the object's own room
    // holds nothing to leave behind, and grows into a block of its own.
    try {
      if (capacity() < HEAP_FROM) reserve(HEAP_FROM);
    } catch (...) {
    }
  }
};

}  // namespace p11agent::platform
