// Box<T>: a heap-held T with value semantics.
//
// The policy model's trees own their children exclusively; copying a tree
// must give an independent tree. Box is a unique owner whose copy is a deep
// copy, so records made of Boxes get correct copies from the compiler's
// defaults. A Box is never empty except after it has been moved from.
//
//   halvo::Box<Node> child(Node{...});
//   halvo::Box<Node> copy = child;   // deep copy
//   use(*copy);
//
// Construction and copying may throw std::bad_alloc. T may be incomplete
// where the Box is declared.
#pragma once

#include <memory>
#include <utility>

namespace halvo {

template <class T>
class Box {
 public:
  explicit Box(T value) : ptr_(std::make_unique<T>(std::move(value))) {}
  Box(const Box& other) : ptr_(std::make_unique<T>(*other.ptr_)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& other) {
    if (this != &other) ptr_ = std::make_unique<T>(*other.ptr_);
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  ~Box() = default;

  T& operator*() noexcept { return *ptr_; }
  const T& operator*() const noexcept { return *ptr_; }
  T* operator->() noexcept { return ptr_.get(); }
  const T* operator->() const noexcept { return ptr_.get(); }
  T* get() noexcept { return ptr_.get(); }
  const T* get() const noexcept { return ptr_.get(); }

 private:
  std::unique_ptr<T> ptr_;
};

}  // namespace halvo
