// A generation's blocks: placement in order, reuse, trimming and release.
#include "generation.h"

#include <algorithm>
#include <cstdlib>

#include "size_math.h"

namespace orvel {

// Each block starts with this header; its entries follow.
struct GenerationBlock {
  GenerationBlock *older;
  std::size_t size;  // bytes after the header
};

namespace {

static_assert(sizeof(GenerationBlock) % kEntryAlign == 0, "entries follow the header aligned");

// The first block of a generation that grows as it goes (one whose size was
// not known in advance): small, so that a short list costs little.
constexpr std::size_t kFirstBlock = 16 * 1024;

char *start_of(GenerationBlock *block) noexcept { return reinterpret_cast<char *>(block + 1); }

GenerationBlock *new_block(std::size_t bytes) noexcept {
  auto *block = static_cast<GenerationBlock *>(std::malloc(saturating_add(sizeof(GenerationBlock), bytes)));
  if (block != nullptr) *block = GenerationBlock{nullptr, bytes};
  return block;
}

// Makes block the newest, where the next entries go. The block it follows
// keeps only what was placed in it.
void link(Generation &g, GenerationBlock *block) noexcept {
  if (g.blocks != nullptr) g.blocks->size -= g.room;
  block->older = g.blocks;
  g.blocks = block;
  g.next = start_of(block);
  g.room = block->size;
}

bool add_block(Generation &g, std::size_t bytes) noexcept {
  GenerationBlock *block = new_block(bytes);
  if (block == nullptr) return false;
  link(g, block);
  return true;
}

void free_chain(GenerationBlock *block) noexcept {
  while (block != nullptr) {
    GenerationBlock *older = block->older;
    std::free(block);
    block = older;
  }
}

}  // namespace

bool reserve_block(Generation &g, std::size_t bytes) noexcept { return add_block(g, bytes); }

bool reserve_reusing(Generation &g, std::size_t bytes, Generation &old) noexcept {
  GenerationBlock *spare = new_block(bytes);
  if (spare == nullptr) return false;
  // The largest of old's blocks comes out of its chain.
  GenerationBlock **largest = &old.blocks;
  for (GenerationBlock **b = &old.blocks; *b != nullptr; b = &(*b)->older) {
    if ((*b)->size > (*largest)->size) largest = b;
  }
  GenerationBlock *reused = *largest;
  *largest = reused->older;
  // old's other blocks stay: the caller may still read entries in them
  // (which of its entries have blocks of their own) before releasing old.
  link(g, reused);
  g.spare = spare;
  return true;
}

void *place(Generation &g, std::size_t size) noexcept {
  if (size > g.room) {
    if (g.spare != nullptr) {
      link(g, g.spare);
      g.spare = nullptr;
    }
    if (size > g.room && !add_block(g, std::max({size, g.placed, kFirstBlock}))) return nullptr;
  }
  char *at = g.next;
  g.next += size;
  g.room -= size;
  g.placed += size;
  return at;
}

void unplace(Generation &g, std::size_t size) noexcept {
  g.next -= size;
  g.room += size;
  g.placed -= size;
}

Moved trim(Generation &g) noexcept {
  free_chain(g.spare);
  g.spare = nullptr;
  GenerationBlock *block = g.blocks;
  const std::size_t used = block->size - g.room;
  const auto old_start = reinterpret_cast<std::uintptr_t>(start_of(block));
  if (g.room == 0) return {old_start, used, 0};
  // Shrinking: in place on common allocators, but it may move.
  void *moved = std::realloc(block, sizeof(GenerationBlock) + used);
  if (moved == nullptr) return {old_start, used, 0};
  block = static_cast<GenerationBlock *>(moved);
  block->size = used;
  g.blocks = block;
  g.next = start_of(block) + used;
  g.room = 0;
  return {old_start, used, reinterpret_cast<std::uintptr_t>(start_of(block)) - old_start};
}

void release(Generation &g) noexcept {
  free_chain(g.spare);
  free_chain(g.blocks);
  g = Generation{};
}

}  // namespace orvel
