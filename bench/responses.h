// SPDX-License-Identifier: MIT
// Generated list responses for the benchmarks: realistic identifiers, titles
// and artists with some non-ASCII text and escapes, and a share of repeated
// identities, in the "items" shape, in the grouped per-kind shape, and in a
// compact "items" shape of short texts where the parse is cheap.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace bench {

struct Entry {
  std::string kind;
  std::string id;
  std::string title;
  std::string artist;
};

enum class Shape { items, grouped, compact };

inline const char *shape_name(Shape shape) {
  return shape == Shape::items ? "items" : shape == Shape::grouped ? "grouped" : "compact";
}

// A 22-character base-62 identifier, the length services commonly use.
inline std::string random_id(std::mt19937_64 &rng) {
  static constexpr char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string id(22, '0');
  for (char &c : id) c = digits[rng() % 62];
  return id;
}

inline std::string random_words(std::mt19937_64 &rng, int min_words, int max_words) {
  // Mostly ASCII, with accented, Cyrillic, Greek and CJK words and an escaped
  // quote now and then, as real catalogues have.
  static const char *const words[] = {
      "Love",  "Night",      "Blue",   "Dance",   "Heart",    "Fire",        "Summer",
      "Road",  "Dream",      "Light",  "Song",    "Remaster", "Live",        "Version",
      "Café",  "Señorita",   "Nöel",   "Straße",  "Привет",   "Ελλάδα",      "東京",
      "夜空",  "Mix",        "Edit",   "Forever", "Home",     "River",       "Moon",
      "12\\\" Mix", "Déjà",  "Vu",     "Paris",   "Golden",   "Hours",       "Echo"};
  const int n = min_words + static_cast<int>(rng() % static_cast<unsigned>(max_words - min_words + 1));
  std::string text;
  for (int i = 0; i < n; ++i) {
    if (i > 0) text += ' ';
    text += words[rng() % (sizeof words / sizeof words[0])];
  }
  return text;
}

// n elements; about 5% repeat an earlier identity with another title, which
// the store drops.
inline std::vector<Entry> make_entries(std::size_t n, std::uint64_t seed = 42) {
  std::mt19937_64 rng(seed);
  std::vector<Entry> entries;
  entries.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0 && rng() % 20 == 0) {
      Entry repeat = entries[rng() % i];
      repeat.title = random_words(rng, 1, 3);
      entries.push_back(repeat);
      continue;
    }
    const unsigned r = static_cast<unsigned>(rng() % 100);
    const char *kind = r < 70 ? "track" : r < 90 ? "album" : r < 97 ? "artist" : "playlist";
    entries.push_back({kind, random_id(rng), random_words(rng, 1, 5), random_words(rng, 1, 2)});
  }
  return entries;
}

// The compact shape's elements: a 40-character identifier, an ASCII title
// of about 20 bytes, a short artist, all four members; about 10% repeat an
// earlier identity. About 120 bytes an element.
inline std::vector<Entry> make_compact_entries(std::size_t n, std::uint64_t seed = 7) {
  static constexpr char hex[] = "0123456789abcdef";
  static const char *const words[] = {"Love", "Night", "Blue", "Dance", "Heart", "Fire", "Road",
                                      "Dream", "Light", "Song", "Live", "Home", "Moon", "Echo"};
  std::mt19937_64 rng(seed);
  std::vector<Entry> entries;
  entries.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0 && rng() % 10 == 0) {
      entries.push_back(entries[rng() % i]);
      continue;
    }
    std::string id(40, '0');
    for (char &c : id) c = hex[rng() % 16];
    std::string title;
    while (title.size() < 16) title += std::string(title.empty() ? "" : " ") + words[rng() % 14];
    const unsigned r = static_cast<unsigned>(rng() % 100);
    const char *kind = r < 70 ? "track" : r < 90 ? "album" : r < 97 ? "artist" : "playlist";
    entries.push_back({kind, id, title, words[rng() % 14]});
  }
  return entries;
}

inline void append_object(std::string &out, const Entry &e, bool with_kind) {
  out += '{';
  if (with_kind) out += "\"kind\":\"" + e.kind + "\",";
  out += "\"itemId\":\"" + e.id + "\",\"title\":\"" + e.title + "\",\"artist\":\"" + e.artist + "\"}";
}

// {"total":n,"items":[{kind,itemId,title,artist}...]} or
// {"tracks":[...],"albums":[...],"artists":[...],"playlists":[...]} whose
// elements take their kind from the member.
inline std::string make_response(const std::vector<Entry> &entries, Shape shape) {
  std::string out;
  out.reserve(entries.size() * 130 + 64);
  if (shape != Shape::grouped) {
    out += "{\"total\":" + std::to_string(entries.size()) + ",\"items\":[";
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (i > 0) out += ',';
      append_object(out, entries[i], true);
    }
    out += "]}";
    return out;
  }
  out += '{';
  bool first_member = true;
  for (const char *kind : {"track", "album", "artist", "playlist"}) {
    out += first_member ? "\"" : ",\"";
    first_member = false;
    out += std::string(kind) + "s\":[";
    bool first = true;
    for (const Entry &e : entries) {
      if (e.kind != kind) continue;
      if (!first) out += ',';
      first = false;
      append_object(out, e, false);
    }
    out += ']';
  }
  out += '}';
  return out;
}

// The response of n elements in a shape, from that shape's generator.
inline std::string make_shape_response(Shape shape, std::size_t n) {
  return make_response(shape == Shape::compact ? make_compact_entries(n) : make_entries(n), shape);
}

}  // namespace bench
