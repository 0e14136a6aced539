// SPDX-License-Identifier: MIT
// Endpoint URLs: the base-URL join shared by both endpoints.
#include "urls.h"

#include <cstdlib>
#include <cstring>

#include "orvel.h"
#include "size_math.h"

namespace orvel {

char *join_url(const char *base_url, std::string_view path) noexcept {
  const char *base = (base_url == nullptr || base_url[0] == '\0') ? kDefaultBaseUrl : base_url;
  std::size_t n = std::strlen(base);
  while (n > 0 && base[n - 1] == '/') --n;

  // Lengths stay size_t throughout, so any base is joined whole.
  auto *url = static_cast<char *>(std::malloc(saturating_add(n, path.size() + 1)));
  if (url == nullptr) return nullptr;
  std::memcpy(url, base, n);
  std::memcpy(url + n, path.data(), path.size());
  url[n + path.size()] = '\0';
  return url;
}

}  // namespace orvel

extern "C" ORVEL_API char *orvel_build_mine_url(const char *base_url) {
  return orvel::join_url(base_url, orvel::kMinePath);
}
