// A first-in first-out queue of small values kept in a ring: the drop-in for std::list and
// std::deque on per-frame paths (buffer headers passed between a device thread and a filter).
//
// std::list allocates a node per push and std::deque a block every few dozen pushes; this queue
// allocates only when it is full (it doubles, keeping the order) and never shrinks, so once it has
// held its largest count (the number of buffers in circulation, reached in the first frames)
// pushing and popping never touch the heap. clear() keeps the storage.
//
// Threading: none; the owner guards it like the container it replaces.
#pragma once

#include <cstddef>
#include <iterator>
#include <memory>

namespace tarsio {

template <class T>
class RingQueue {
 public:
  static constexpr size_t kInitialCapacity = 8;

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;

    const_iterator(const RingQueue* queue, size_t index) : queue_(queue), index_(index) {}
    const T& operator*() const { return queue_->At(index_); }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    bool operator==(const const_iterator& other) const { return index_ == other.index_; }
    bool operator!=(const const_iterator& other) const { return index_ != other.index_; }

   private:
    const RingQueue* queue_;
    size_t index_;
  };

  RingQueue() = default;
  RingQueue(const RingQueue&) = delete;
  RingQueue& operator=(const RingQueue&) = delete;

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  /// The oldest value; the queue must not be empty.
  T& front() { return storage_[head_]; }
  const T& front() const { return storage_[head_]; }

  void push_back(const T& value) {
    if (size_ == capacity_) Grow(capacity_ == 0 ? kInitialCapacity : 2 * capacity_);
    storage_[(head_ + size_) % capacity_] = value;
    ++size_;
  }
  /// Removes the oldest value; the queue must not be empty.
  void pop_front() {
    head_ = (head_ + 1) % capacity_;
    --size_;
  }
  void clear() {
    head_ = 0;
    size_ = 0;
  }
  /// Makes room for at least n values without growing later.
  void reserve(size_t n) {
    if (n > capacity_) Grow(n);
  }

  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, size_); }

 private:
  const T& At(size_t index) const { return storage_[(head_ + index) % capacity_]; }

  void Grow(size_t capacity) {
    std::unique_ptr<T[]> grown(new T[capacity]());
    for (size_t i = 0; i < size_; ++i) grown[i] = At(i);
    storage_ = std::move(grown);
    capacity_ = capacity;
    head_ = 0;
  }

  std::unique_ptr<T[]> storage_;
  size_t capacity_ = 0;
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace tarsio
