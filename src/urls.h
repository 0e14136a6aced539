// SPDX-License-Identifier: MIT
// Joining a base URL with one of the service's endpoint paths.
#pragma once

#include <string_view>

namespace orvel {

#ifndef ORVEL_DEFAULT_BASE_URL
#error "ORVEL_DEFAULT_BASE_URL must be defined by the build"
#endif
inline constexpr const char *kDefaultBaseUrl = ORVEL_DEFAULT_BASE_URL;

inline constexpr std::string_view kMinePath = "/wishlist/api/mine";
inline constexpr std::string_view kWishPath = "/wishlist/api/wish";

// base_url (absent or "" selects the default) without its trailing slashes,
// followed by path, in a malloc'd text; null when memory is short.
char *join_url(const char *base_url, std::string_view path) noexcept;

}  // namespace orvel
