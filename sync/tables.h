// SPDX-License-Identifier: MIT
// The journal's indexes: an open-addressing hash table of pointers (entries
// by identity, operations by id) and the queue of operations ready to send.
// Memory comes from malloc; growth is asked for before a change is made, so
// that the change itself can no longer fail.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace orvel_sync {

// A 64-bit finaliser: spreads every input bit over the whole word.
inline std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// Pointers to T, found by Traits::hash(key) and Traits::equal(T *, key);
// Traits::hash_of(T *) gives a stored element's hash. Linear probing, never
// more than half full, deletion by backward shift (no tombstones).
template <class T, class Traits>
class PointerTable {
 public:
  PointerTable() noexcept = default;
  PointerTable(const PointerTable &) = delete;
  PointerTable &operator=(const PointerTable &) = delete;
  ~PointerTable() { std::free(slots_); }

  std::uint64_t size() const noexcept { return size_; }

  // Room for `more` insertions without growing; false when memory is short
  // (the table is then as it was).
  bool reserve(std::uint64_t more) noexcept {
    const std::uint64_t wanted = size_ + more;
    std::uint64_t slots = slots_ == nullptr ? 0 : mask_ + 1;
    if (wanted <= slots / 2) return true;
    if (slots == 0) slots = 16;
    while (wanted > slots / 2) {
      if (slots > (UINT64_MAX >> 2) / sizeof(T *)) return false;
      slots *= 2;
    }
    if (slots > SIZE_MAX / sizeof(T *)) return false;
    auto **grown = static_cast<T **>(std::calloc(static_cast<std::size_t>(slots), sizeof(T *)));
    if (grown == nullptr) return false;
    for (std::uint64_t i = 0; slots_ != nullptr && i <= mask_; ++i) {
      if (slots_[i] != nullptr) place(grown, slots - 1, slots_[i]);
    }
    std::free(slots_);
    slots_ = grown;
    mask_ = slots - 1;
    return true;
  }

  template <class Key>
  T *find(const Key &key) const noexcept {
    if (size_ == 0) return nullptr;
    for (std::uint64_t i = Traits::hash(key) & mask_;; i = (i + 1) & mask_) {
      T *e = slots_[i];
      if (e == nullptr) return nullptr;
      if (Traits::equal(e, key)) return e;
    }
  }

  // Adds an element not yet present, in room made by reserve().
  void insert(T *e) noexcept {
    place(slots_, mask_, e);
    ++size_;
  }

  // Removes a present element.
  void erase(T *e) noexcept {
    std::uint64_t hole = Traits::hash_of(e) & mask_;
    while (slots_[hole] != e) hole = (hole + 1) & mask_;
    for (std::uint64_t j = (hole + 1) & mask_; slots_[j] != nullptr; j = (j + 1) & mask_) {
      const std::uint64_t home = Traits::hash_of(slots_[j]) & mask_;
      // The element at j may fill the hole when its home is not after the hole.
      if (((j - home) & mask_) >= ((j - hole) & mask_)) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole] = nullptr;
    --size_;
  }

  // Calls f on every element, in slot order; f must not change the table.
  template <class F>
  void for_each(F f) const noexcept {
    for (std::uint64_t i = 0; slots_ != nullptr && i <= mask_; ++i) {
      if (slots_[i] != nullptr) f(slots_[i]);
    }
  }

  void swap(PointerTable &other) noexcept {
    T **s = slots_;
    const std::uint64_t m = mask_, n = size_;
    slots_ = other.slots_, mask_ = other.mask_, size_ = other.size_;
    other.slots_ = s, other.mask_ = m, other.size_ = n;
  }

 private:
  static void place(T **slots, std::uint64_t mask, T *e) noexcept {
    std::uint64_t i = Traits::hash_of(e) & mask;
    while (slots[i] != nullptr) i = (i + 1) & mask;
    slots[i] = e;
  }

  T **slots_ = nullptr;
  std::uint64_t mask_ = 0;
  std::uint64_t size_ = 0;
};

// A binary min-heap of pointers ordered by Traits::less, each element knowing
// its own position (Traits::slot(T *)) so that it can leave from anywhere.
template <class T, class Traits>
class PointerHeap {
 public:
  static constexpr std::uint32_t kNotQueued = UINT32_MAX;

  PointerHeap() noexcept = default;
  PointerHeap(const PointerHeap &) = delete;
  PointerHeap &operator=(const PointerHeap &) = delete;
  ~PointerHeap() { std::free(items_); }

  std::uint32_t size() const noexcept { return size_; }
  T *top() const noexcept { return size_ == 0 ? nullptr : items_[0]; }

  // Room for `total` elements; false when memory is short.
  bool reserve(std::uint64_t total) noexcept {
    if (total <= capacity_) return true;
    if (total >= kNotQueued) return false;
    std::uint64_t capacity = capacity_ == 0 ? 16 : capacity_;
    while (capacity < total) capacity *= 2;
    if (capacity >= kNotQueued) capacity = kNotQueued - 1;
    void *grown = std::realloc(items_, static_cast<std::size_t>(capacity) * sizeof(T *));
    if (grown == nullptr) return false;
    items_ = static_cast<T **>(grown);
    capacity_ = static_cast<std::uint32_t>(capacity);
    return true;
  }

  // Adds an element, in room made by reserve().
  void push(T *e) noexcept {
    items_[size_] = e;
    Traits::slot(e) = size_;
    sift_up(size_++);
  }

  // Removes a queued element.
  void remove(T *e) noexcept {
    const std::uint32_t i = Traits::slot(e);
    Traits::slot(e) = kNotQueued;
    --size_;
    if (i == size_) return;
    items_[i] = items_[size_];
    Traits::slot(items_[i]) = i;
    sift_down(sift_up(i));
  }

  void swap(PointerHeap &other) noexcept {
    T **items = items_;
    const std::uint32_t n = size_, c = capacity_;
    items_ = other.items_, size_ = other.size_, capacity_ = other.capacity_;
    other.items_ = items, other.size_ = n, other.capacity_ = c;
  }

 private:
  void put(std::uint32_t i, T *e) noexcept {
    items_[i] = e;
    Traits::slot(e) = i;
  }

  std::uint32_t sift_up(std::uint32_t i) noexcept {
    T *e = items_[i];
    while (i > 0) {
      const std::uint32_t parent = (i - 1) / 2;
      if (!Traits::less(e, items_[parent])) break;
      put(i, items_[parent]);
      i = parent;
    }
    put(i, e);
    return i;
  }

  void sift_down(std::uint32_t i) noexcept {
    T *e = items_[i];
    for (;;) {
      std::uint32_t child = 2 * i + 1;
      if (child >= size_) break;
      if (child + 1 < size_ && Traits::less(items_[child + 1], items_[child])) ++child;
      if (!Traits::less(items_[child], e)) break;
      put(i, items_[child]);
      i = child;
    }
    put(i, e);
  }

  T **items_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
};

}  // namespace orvel_sync
