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
  GenerationBlock *spare;   // a block reserved for when the newest is full
};

// Entry sizes are multiples of this, so every entry placed is aligned for its header.
inline constexpr std::size_t kEntryAlign = 4;

// Makes one block with room for exactly `bytes` in an empty generation, for
// a caller that knows how much it will place. False (nothing changed) when
// memory is short.
bool reserve_block(Generation &g, std::size_t bytes) noexcept;

// The same, but placing first in the largest block of old (a generation
// with at least one block, whose entries are no longer needed), whose memory
// is then warm and already mapped: a block of `bytes` is reserved as a spare
// for what does not fit there. On success that block has left old, whose
// other blocks stay readable until the caller releases old. False (neither
// changed) when memory is short.
bool reserve_reusing(Generation &g, std::size_t bytes, Generation &old) noexcept;

// Room for size bytes (a multiple of kEntryAlign) after the last entry placed:
// in the newest block, in the spare, or in a new block at least as large as
// all the others together, so that blocks stay few and at most half of them
// is unused. Null (nothing changed) when memory is short.
void *place(Generation &g, std::size_t size) noexcept;

// Takes back the last placement of size bytes, whose entry was not kept.
void unplace(Generation &g, std::size_t size) noexcept;

// How trim moved the entries of the newest block: those at addresses from
// `from` to `from + length` (as integers; the block they were in is gone)
// are now delta further on, modulo the address width. delta 0: nothing moved.
struct Moved {
  std::uintptr_t from;
  std::size_t length;
  std::uintptr_t delta;
};

// After the last placement into a generation made by reserve_block or
// reserve_reusing: frees an unused spare and gives back the unused end of
// the newest block (a spare's, or the only block's). Shrinking in place is
// the rule, but a block may move, or keep its size when memory is short.
Moved trim(Generation &g) noexcept;

// Frees every block; the generation becomes empty.
void release(Generation &g) noexcept;

}  // namespace orvel
