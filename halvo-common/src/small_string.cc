#include "halvo/small_string.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace halvo {

void SmallString::init_heap(std::string_view text) {
  void* raw = std::malloc(offsetof(HeapBlock, bytes) + text.size() + 1);
  if (raw == nullptr) throw std::bad_alloc();
  auto* block = static_cast<HeapBlock*>(raw);
  new (&block->refs) std::atomic<std::uint64_t>(1);
  std::memcpy(block->bytes, text.data(), text.size());
  block->bytes[text.size()] = '\0';
  storage_.heap.block = block;
  storage_.heap.size = text.size();
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
