// SPDX-License-Identifier: MIT
// What an answer means: status codes to outcomes, Retry-After, the origin a
// redirect may go to, and the backoff delay.
#ifndef ORVEL_CLIENT_HTTP_RULES_HPP
#define ORVEL_CLIENT_HTTP_RULES_HPP

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "orvel/client.hpp"

namespace orvel::client_detail {

// 2xx accepted; 408, 429, 5xx failed; other 4xx rejected. Anything else (1xx,
// 3xx left after redirects) failed: it did not apply the change.
Outcome outcome_of_status(int status) noexcept;

// The outcome of a transport's result.
Outcome outcome_of(const HttpResponse &response) noexcept;

// The header's value (first of that name, compared case-insensitively).
std::optional<std::string_view> header(const Headers &headers, std::string_view name) noexcept;

// How long a 429's or 503's Retry-After asks to wait: delta-seconds or an
// HTTP date (against now); none when absent, another status, or unreadable.
std::optional<std::chrono::milliseconds> retry_after(const HttpResponse &response,
                                                     std::chrono::system_clock::time_point now);

// "scheme://host[:port]" of an absolute http(s) URL, lower-cased, the
// scheme's default port made explicit; none for anything else.
std::optional<std::string> origin_of(std::string_view url);

// Where a redirect goes, made absolute against the URL it answered.
std::optional<std::string> resolve_location(std::string_view from, std::string_view location);

// Full jitter: random(0, min(cap, base * 2^attempts)).
std::chrono::milliseconds backoff_delay(std::uint32_t attempts, std::chrono::milliseconds base,
                                        std::chrono::milliseconds cap, std::mt19937_64 &random);

}  // namespace orvel::client_detail

#endif
