// SPDX-License-Identifier: MIT
// Showing additions again after a load, in the same all-or-nothing load: a
// text that liborvel's loader reads as the response followed by more entries.
#pragma once

#include <cstddef>
#include <string_view>

namespace orvel_sync {

// The members of a root object that the loader reads, in the order it reads
// them (checked against liborvel by the tests).
inline constexpr std::string_view kListMembers[] = {
    "items", "wishes", "track", "tracks", "album", "albums", "artist", "artists", "playlist", "playlists",
};
inline constexpr std::size_t kListMemberCount = sizeof kListMembers / sizeof kListMembers[0];

// Where elements go in a response.
struct MergePlan {
  enum class How {
    wrap_array,   // the root is an array: {"items":RESPONSE,"wishes":[ELEMENTS]}
    insert,       // before the closing bracket of the last array the loader reads
    wrap_other,   // nothing of the response is read: {"items":[ELEMENTS],"x":RESPONSE}
    unchanged,    // not one JSON value: the load fails on the response as it is
  } how;
  std::size_t at;     // insert: the offset of that closing bracket
  bool needs_comma;   // insert: the array already holds something
};

// How to add elements to response. For valid JSON the merged text loads as
// the response then the elements; for invalid JSON the merged text is
// invalid too, so the load still fails and changes nothing. That holds
// because the scan follows strings and nesting as a parser does: wherever a
// parser accepts the merged text, it reads the response's values exactly as
// the scan delimited them.
MergePlan plan_merge(std::string_view response) noexcept;

// The merged text (malloc'd, NUL-terminated) and its length; null when
// memory is short.
// elements is a comma-separated list of JSON values, not empty.
char *merge_response(std::string_view response, std::string_view elements, std::size_t *len) noexcept;

}  // namespace orvel_sync
