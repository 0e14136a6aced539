// Searches, under equal_tags.h's key, for an identifier of at most 7 bytes
// whose tags for two kinds are equal, and prints it with the two kinds. About
// 7 * 10^8 identifiers are tried: some seconds per core.
#include <atomic>
#include <cstdio>
#include <thread>

#include "equal_tags.h"
#include "store_index.h"

namespace {

constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
std::atomic<bool> found{false};

void search(std::uint64_t first, std::uint64_t step) {
  char id[8];
  for (std::uint64_t i = first; !found.load(std::memory_order_relaxed); i += step) {
    std::size_t len = 0;
    for (std::uint64_t v = i; v != 0 && len < 7; v /= 62) id[len++] = kDigits[v % 62];
    std::uint32_t tags[4];
    for (int k = 0; k < 4; ++k) tags[k] = orvel::tag_of(orvel_test::kEqualTagKey, k, {id, len});
    for (int a = 0; a < 4; ++a) {
      for (int b = a + 1; b < 4; ++b) {
        if (tags[a] == tags[b] && !found.exchange(true)) {
          std::printf("%.*s kinds %d %d\n", static_cast<int>(len), id, a, b);
        }
      }
    }
  }
}

}  // namespace

int main() {
  std::thread other(search, 2, 2);
  search(1, 2);
  other.join();
}
