#include "halvo/small_string.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace halvo {

void SmallString::init_heap(std::string_view first, std::string_view second) {
  const std::size_t size = first.size() + second.size();
  void* raw = std::malloc(offsetof(HeapBlock, bytes) + size + 1);
  if (raw == nullptr) throw std::bad_alloc();
  auto* block = static_cast<HeapBlock*>(raw);
  new (&block->refs) std::atomic<std::uint64_t>(1);
  if (!first.empty()) std::memcpy(block->bytes, first.data(), first.size());
  if (!second.empty()) {
    std::memcpy(block->bytes + first.size(), second.data(), second.size());
  }
  block->bytes[size] = '\0';
  storage_.heap.block = block;
  storage_.heap.size = size;
  storage_.bytes[kInlineCapacity] = static_cast<char>(kHeapTag);
}

void SmallString::release_heap() noexcept {
  HeapBlock* block = storage_.heap.block;
  // The last owner must see every write made through the other copies.
  if (block->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    block->refs.~atomic();
    std::free(block);
  }
}

}  // namespace halvo
