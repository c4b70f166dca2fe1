#pragma once
// A list with its storage inline and a fixed capacity. Copying it copies only
// the entries in use, so a game copy stays a flat copy without heap work.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "invariant.h"

namespace velmar {

template <typename T, std::size_t N>
class FixedVec {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  FixedVec() = default;
  FixedVec(std::initializer_list<T> init) {
    for (const T& v : init) push_back(v);
  }
  FixedVec(const FixedVec& other) : size_(other.size_) {
    std::memcpy(data_.data(), other.data_.data(), size_ * sizeof(T));
  }
  FixedVec& operator=(const FixedVec& other) {
    size_ = other.size_;
    std::memcpy(data_.data(), other.data_.data(), size_ * sizeof(T));
    return *this;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  static constexpr std::size_t capacity() { return N; }

  const T& operator[](std::size_t i) const {
    if (i >= size_) fail_index(size_, i);
    return data_[i];
  }
  T& operator[](std::size_t i) {
    if (i >= size_) fail_index(size_, i);
    return data_[i];
  }
  const T* begin() const { return data_.data(); }
  const T* end() const { return data_.data() + size_; }
  const T& back() const { return (*this)[size_ - 1]; }

  void push_back(const T& v) {
    if (size_ >= N) fail_index(N, size_);
    data_[size_++] = v;
  }
  // Removes entry i; the entries after it move down one position.
  void erase(std::size_t i) {
    if (i >= size_) fail_index(size_, i);
    std::copy(data_.begin() + i + 1, data_.begin() + size_, data_.begin() + i);
    --size_;
  }
  void clear() { size_ = 0; }

  friend bool operator==(const FixedVec& a, const FixedVec& b) {
    return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  std::size_t size_ = 0;
  std::array<T, N> data_;
};

}  // namespace velmar
