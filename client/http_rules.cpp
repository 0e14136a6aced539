// SPDX-License-Identifier: MIT
#include "http_rules.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>

namespace orvel::client_detail {

namespace {

bool same_text(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view text) noexcept {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// An IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"), the one form senders must use.
std::optional<std::chrono::system_clock::time_point> http_date(std::string_view text) {
  static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (text.size() != 29 || text.substr(25) != " GMT" || text[3] != ',') return std::nullopt;
  auto number = [&](std::size_t at, std::size_t len) -> int {
    int value = -1;
    const auto [end, error] = std::from_chars(text.data() + at, text.data() + at + len, value);
    return error == std::errc() && end == text.data() + at + len ? value : -1;
  };
  std::tm when{};
  when.tm_mday = number(5, 2);
  const auto month = std::find(std::begin(kMonths), std::end(kMonths), text.substr(8, 3));
  if (month == std::end(kMonths)) return std::nullopt;
  when.tm_mon = static_cast<int>(month - std::begin(kMonths));
  when.tm_year = number(12, 4) - 1900;
  when.tm_hour = number(17, 2);
  when.tm_min = number(20, 2);
  when.tm_sec = number(23, 2);
  if (when.tm_mday < 1 || when.tm_year < 70 || when.tm_hour < 0 || when.tm_min < 0 || when.tm_sec < 0) {
    return std::nullopt;
  }
  const std::time_t seconds = timegm(&when);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return std::chrono::system_clock::from_time_t(seconds);
}

}  // namespace

Outcome outcome_of_status(int status) noexcept {
  if (status >= 200 && status < 300) return Outcome::accepted;
  if (status == 408 || status == 429 || (status >= 500 && status < 600)) return Outcome::failed;
  if (status >= 400 && status < 500) return Outcome::rejected;
  return Outcome::failed;
}

Outcome outcome_of(const HttpResponse &response) noexcept {
  switch (response.kind) {
    case HttpResponse::Kind::answered:
      return outcome_of_status(response.status);
    case HttpResponse::Kind::not_sent:
      return Outcome::failed;
    case HttpResponse::Kind::maybe_sent:
      break;
  }
  return Outcome::unknown;
}

std::optional<std::string_view> header(const Headers &headers, std::string_view name) noexcept {
  for (const auto &[key, value] : headers) {
    if (same_text(key, name)) return std::string_view(value);
  }
  return std::nullopt;
}

std::optional<std::chrono::milliseconds> retry_after(const HttpResponse &response,
                                                     std::chrono::system_clock::time_point now) {
  if (response.kind != HttpResponse::Kind::answered || (response.status != 429 && response.status != 503)) {
    return std::nullopt;
  }
  const std::optional<std::string_view> value = header(response.headers, "Retry-After");
  if (!value) return std::nullopt;
  const std::string_view text = trim(*value);
  if (!text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    // A day at most: a larger figure is a service's mistake, not a plan.
    long long seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size() || seconds > 86400) seconds = 86400;
    return std::chrono::milliseconds(seconds * 1000);
  }
  const auto when = http_date(text);
  if (!when) return std::nullopt;
  if (*when <= now) return std::chrono::milliseconds(0);
  return std::min(std::chrono::duration_cast<std::chrono::milliseconds>(*when - now),
                  std::chrono::milliseconds(86400 * 1000LL));
}

std::optional<std::string> origin_of(std::string_view url) {
  const std::size_t colon = url.find("://");
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string scheme = lower(url.substr(0, colon));
  if (scheme != "http" && scheme != "https") return std::nullopt;
  std::string_view rest = url.substr(colon + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (rest.find('@') != std::string_view::npos || rest.empty()) return std::nullopt;
  std::string host(rest), port = scheme == "https" ? "443" : "80";
  const std::size_t bracket = host.rfind(']');
  const std::size_t sep = host.rfind(':');
  if (sep != std::string::npos && (bracket == std::string::npos || sep > bracket)) {
    if (sep + 1 < host.size()) port = host.substr(sep + 1);
    host.resize(sep);
  }
  if (host.empty()) return std::nullopt;
  return scheme + "://" + lower(host) + ":" + port;
}

std::optional<std::string> resolve_location(std::string_view from, std::string_view location) {
  location = trim(location);
  if (location.empty()) return std::nullopt;
  if (origin_of(location)) return std::string(location);
  if (location.find("://") != std::string_view::npos) return std::nullopt;  // another scheme
  const std::size_t colon = from.find("://");
  if (colon == std::string_view::npos) return std::nullopt;
  const std::size_t path = from.find_first_of("/?#", colon + 3);
  const std::string_view origin = from.substr(0, path);
  if (location.substr(0, 2) == "//") return std::string(from.substr(0, colon + 1)) + std::string(location);
  if (location.front() == '/') return std::string(origin) + std::string(location);
  // A relative path: beside the last segment of the URL's path.
  std::string_view base = path == std::string_view::npos ? std::string_view("/") : from.substr(path);
  base = base.substr(0, base.find_first_of("?#"));
  return std::string(origin) + std::string(base.substr(0, base.rfind('/') + 1)) + std::string(location);
}

std::chrono::milliseconds backoff_delay(std::uint32_t attempts, std::chrono::milliseconds base,
                                        std::chrono::milliseconds cap, std::mt19937_64 &random) {
  const long long cap_ms = std::max<long long>(0, cap.count());
  long long ceiling = std::max<long long>(0, base.count());
  for (std::uint32_t i = 0; i < attempts && ceiling > 0 && ceiling < cap_ms; ++i) ceiling *= 2;
  ceiling = std::min(ceiling, cap_ms);
  std::uniform_int_distribution<long long> pick(0, ceiling);
  return std::chrono::milliseconds(pick(random));
}

}  // namespace orvel::client_detail
