// SPDX-License-Identifier: MIT
// What answers mean: status codes to outcomes, Retry-After, redirects' origins
// and the backoff's bounds, table by table.
#include <gtest/gtest.h>

#include "http_rules.hpp"

namespace {

using namespace orvel::client_detail;
using orvel::HttpResponse;
using orvel::Outcome;
using std::chrono::milliseconds;

TEST(Rules, StatusCodesToOutcomes) {
  const struct {
    int status;
    Outcome outcome;
  } table[] = {
      {200, Outcome::accepted}, {201, Outcome::accepted}, {204, Outcome::accepted}, {299, Outcome::accepted},
      {408, Outcome::failed},   {429, Outcome::failed},   {500, Outcome::failed},   {503, Outcome::failed},
      {599, Outcome::failed},   {400, Outcome::rejected}, {404, Outcome::rejected}, {409, Outcome::rejected},
      {422, Outcome::rejected}, {499, Outcome::rejected}, {307, Outcome::failed},   {100, Outcome::failed},
  };
  for (const auto &row : table) {
    HttpResponse answered;
    answered.kind = HttpResponse::Kind::answered;
    answered.status = row.status;
    EXPECT_EQ(outcome_of(answered), row.outcome) << row.status;
  }
  HttpResponse response;
  response.kind = HttpResponse::Kind::not_sent;
  EXPECT_EQ(outcome_of(response), Outcome::failed);
  response.kind = HttpResponse::Kind::maybe_sent;
  EXPECT_EQ(outcome_of(response), Outcome::unknown);
}

TEST(Rules, RetryAfterIsHonouredOnlyWhereItMeansSomething) {
  const auto now = std::chrono::system_clock::from_time_t(784111777);  // Sun, 06 Nov 1994 08:49:37 GMT
  const struct {
    int status;
    const char *value;
    std::optional<milliseconds> wait;
  } table[] = {
      {429, "3", milliseconds(3000)},
      {503, " 120 ", milliseconds(120000)},
      {503, "Sun, 06 Nov 1994 08:49:47 GMT", milliseconds(10000)},
      {429, "Sun, 06 Nov 1994 08:49:30 GMT", milliseconds(0)},  // already past
      {429, "99999999999999999999", milliseconds(86400000)},  // capped at a day
      {500, "3", std::nullopt},                                 // only 429 and 503
      {429, "soon", std::nullopt},
      {429, "-1", std::nullopt},
      {429, "Sun, 06 Nov 1994 08:49:47 UTC", std::nullopt},
      {429, "Sun, 06 Foo 1994 08:49:47 GMT", std::nullopt},
  };
  for (const auto &row : table) {
    HttpResponse response;
    response.kind = HttpResponse::Kind::answered;
    response.status = row.status;
    response.headers = {{"Content-Type", "text/plain"}, {"retry-after", row.value}};
    EXPECT_EQ(retry_after(response, now), row.wait) << row.status << " " << row.value;
  }
  HttpResponse none;
  none.kind = HttpResponse::Kind::answered;
  none.status = 429;
  EXPECT_EQ(retry_after(none, now), std::nullopt);
}

TEST(Rules, Origins) {
  const struct {
    const char *url;
    std::optional<std::string> origin;
  } table[] = {
      {"http://127.0.0.1:8080/wishlist/api/mine", "http://127.0.0.1:8080"},
      {"HTTPS://Example.COM/x", "https://example.com:443"},
      {"https://example.com:443", "https://example.com:443"},
      {"http://example.com?q", "http://example.com:80"},
      {"http://[::1]:81/p", "http://[::1]:81"},
      {"http://user@example.com/", std::nullopt},
      {"ftp://example.com/", std::nullopt},
      {"/relative", std::nullopt},
      {"http:///nohost", std::nullopt},
  };
  for (const auto &row : table) EXPECT_EQ(origin_of(row.url), row.origin) << row.url;
}

TEST(Rules, RedirectTargets) {
  const char *from = "http://127.0.0.1:9/v1/wishlist/api/wish?x=1";
  const struct {
    const char *location;
    std::optional<std::string> target;
  } table[] = {
      {"http://127.0.0.2:9/v1/wishlist/api/wish", "http://127.0.0.2:9/v1/wishlist/api/wish"},
      {"/other", "http://127.0.0.1:9/other"},
      {"//elsewhere/x", "http://elsewhere/x"},
      {"sibling", "http://127.0.0.1:9/v1/wishlist/api/sibling"},
      {"javascript://x", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto &row : table) EXPECT_EQ(resolve_location(from, row.location), row.target) << row.location;
}

TEST(Rules, BackoffIsFullJitterUnderTheCap) {
  std::mt19937_64 random(7);
  const milliseconds base(100), cap(1000);
  for (std::uint32_t attempts : {0u, 1u, 2u, 3u, 4u, 10u, 64u, 4000000000u}) {
    const long long ceiling = std::min<long long>(cap.count(), base.count() << std::min(attempts, 20u));
    long long most = 0;
    for (int i = 0; i < 200; ++i) {
      const milliseconds delay = backoff_delay(attempts, base, cap, random);
      EXPECT_GE(delay.count(), 0);
      EXPECT_LE(delay.count(), ceiling) << attempts;
      most = std::max<long long>(most, delay.count());
    }
    EXPECT_GT(most, ceiling / 2) << "the whole range is drawn from, for " << attempts << " attempts";
  }
  EXPECT_EQ(backoff_delay(5, milliseconds(0), cap, random).count(), 0);
}

}  // namespace
