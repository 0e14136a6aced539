// A generation's blocks: placement in order, trimming and release.
#include "generation.h"

#include <algorithm>
#include <cstdlib>

#include "size_math.h"

namespace orvel {

// Each block starts with this header; its entries follow.
struct GenerationBlock {
  GenerationBlock *older;
};

namespace {

static_assert(sizeof(GenerationBlock) % kEntryAlign == 0, "entries follow the header aligned");

// The first block of a generation that grows as it goes (one whose size was
// not known in advance): small, so that a short list costs little.
constexpr std::size_t kFirstBlock = 16 * 1024;

char *start_of(GenerationBlock *block) noexcept { return reinterpret_cast<char *>(block + 1); }

// Links a new block with room for bytes as the newest.
bool add_block(Generation &g, std::size_t bytes) noexcept {
  auto *block = static_cast<GenerationBlock *>(std::malloc(saturating_add(sizeof(GenerationBlock), bytes)));
  if (block == nullptr) return false;
  block->older = g.blocks;
  g.blocks = block;
  g.next = start_of(block);
  g.room = bytes;
  return true;
}

}  // namespace

bool reserve_block(Generation &g, std::size_t bytes) noexcept {
  return g.blocks == nullptr && add_block(g, bytes);
}

void *place(Generation &g, std::size_t size) noexcept {
  if (size > g.room && !add_block(g, std::max({size, g.placed, kFirstBlock}))) return nullptr;
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

std::uintptr_t trim(Generation &g) noexcept {
  const auto old_address = reinterpret_cast<std::uintptr_t>(g.blocks);
  // Shrinking: in place on common allocators, but it may move.
  void *moved = std::realloc(g.blocks, sizeof(GenerationBlock) + g.placed);
  if (moved == nullptr) return 0;
  g.blocks = static_cast<GenerationBlock *>(moved);
  g.next = start_of(g.blocks) + g.placed;
  g.room = 0;
  return reinterpret_cast<std::uintptr_t>(moved) - old_address;
}

void release(Generation &g) noexcept {
  for (GenerationBlock *block = g.blocks; block != nullptr;) {
    GenerationBlock *older = block->older;
    std::free(block);
    block = older;
  }
  g = Generation{};
}

}  // namespace orvel
