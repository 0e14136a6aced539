// A generation: the blocks one load's entries live in. Entries are placed one
// after another in a few large heap blocks, so that a load makes a handful of
// allocations instead of one an entry, and releasing it takes a handful of
// frees. An entry removed from a generation leaves its bytes behind until the
// generation is released or compacted; the store decides when (store.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvel {

struct GenerationBlock;

struct Generation {
  GenerationBlock *blocks;  // the newest first; null for an empty generation
  char *next;               // where the next entry goes in the newest block
  std::size_t room;         // bytes free from next to the newest block's end
  std::size_t placed;       // bytes of every entry placed, removed ones included
  std::size_t dead;         // bytes of the entries removed since
};

// Entry sizes are multiples of this, so every entry placed is aligned for its header.
inline constexpr std::size_t kEntryAlign = 4;

// Makes one block with room for exactly `bytes` in an empty generation, for
// a caller that knows how much it will place. False (nothing changed) when
// memory is short.
bool reserve_block(Generation &g, std::size_t bytes) noexcept;

// Room for size bytes (a multiple of kEntryAlign) after the last entry placed:
// in the newest block, or in a new one at least as large as all the others
// together, so that blocks stay few and at most half of them is unused.
// Null (nothing changed) when memory is short.
void *place(Generation &g, std::size_t size) noexcept;

// Takes back the last placement of size bytes, whose entry was not kept.
void unplace(Generation &g, std::size_t size) noexcept;

// Gives back the unused end of a generation of one block that holds entries.
// Returns how far its bytes moved, modulo the address width (0 when the block
// stayed where it was, which is also the case when memory is short and it
// keeps its size), so that the caller can move its pointers to them by as
// much.
std::uintptr_t trim(Generation &g) noexcept;

// Frees every block; the generation becomes empty.
void release(Generation &g) noexcept;

}  // namespace orvel
