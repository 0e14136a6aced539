// SPDX-License-Identifier: MIT
// Versions, the release function and the per-thread error text.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support.h"

using namespace orvel_test;

namespace {
std::string last_error() { return orvel_last_error(); }

// Makes the calling thread's error text read `message` through the two
// functions that write it.
void provoke(const std::string &message) {
  if (message == "invalid kind") {
    EXPECT_EQ(orvel_build_wish_request_json(nullptr, 1, "Album", "", nullptr, nullptr), nullptr);
  } else if (message == "empty item_id") {
    EXPECT_EQ(orvel_build_wish_request_json(nullptr, 1, "album", "", nullptr, nullptr), nullptr);
  } else if (message == "null arg") {
    EXPECT_EQ(orvel_load_mine_json(nullptr, "{not json", 0), -1);
  } else if (message == "invalid json") {
    Store s = make_store();
    EXPECT_EQ(orvel_load_mine_json(s.get(), "[1,]", 0), -1);
  }
  ASSERT_EQ(last_error(), message);
}
}  // namespace

TEST(Boundary, Versions) {
  // The library loaded is the one this header describes, and its text is the three numbers.
  EXPECT_STREQ(orvel_version(), ORVEL_VERSION);
  EXPECT_EQ(std::string(orvel_version()), std::to_string(ORVEL_VERSION_MAJOR) + "." +
                                              std::to_string(ORVEL_VERSION_MINOR) + "." +
                                              std::to_string(ORVEL_VERSION_PATCH));
  EXPECT_EQ(orvel_version(), orvel_version());
  EXPECT_EQ(orvel_abi_version(), ORVEL_ABI_VERSION);
}

TEST(Boundary, FreeIgnoresNull) { orvel_free(nullptr); }

TEST(Boundary, FreshThreadReadsEmptyText) {
  std::string seen = "unset";
  const char *address = nullptr;
  std::thread([&] {
    seen = last_error();
    address = orvel_last_error();
    EXPECT_EQ(orvel_last_error(), address);  // same buffer on every call
  }).join();
  EXPECT_EQ(seen, "");
  EXPECT_NE(address, nullptr);
}

TEST(Boundary, MessageIsVisibleOnlyOnItsThread) {
  provoke("empty item_id");
  std::string other = "unset";
  std::thread([&] {
    provoke("invalid json");
    other = last_error();
  }).join();
  EXPECT_EQ(other, "invalid json");
  EXPECT_EQ(last_error(), "empty item_id");
}

TEST(Boundary, ShorterMessageHidesALongerOne) {
  // Every ordered pair: the text always reads exactly the last message.
  const std::string messages[] = {"invalid kind", "empty item_id", "null arg", "invalid json"};
  for (const std::string &first : messages) {
    for (const std::string &second : messages) {
      provoke(first);
      provoke(second);
      EXPECT_EQ(last_error(), second) << first << " then " << second;
    }
  }
}

TEST(Boundary, OnlyLoaderAndRequestBuilderTouchTheText) {
  provoke("invalid json");
  Store s = make_store();
  EXPECT_EQ(orvel_apply_local_toggle(s.get(), "Track", "t", nullptr, nullptr), -1);
  EXPECT_EQ(orvel_apply_local_toggle(nullptr, "track", "t", nullptr, nullptr), -1);
  EXPECT_EQ(orvel_validate_kind("nope"), -1);
  EXPECT_FALSE(take(orvel_export_json(nullptr)));
  EXPECT_TRUE(take(orvel_build_mine_url(nullptr)));
  EXPECT_TRUE(take(orvel_export_json(s.get())));
  EXPECT_EQ(last_error(), "invalid json");

  // A successful request build and a successful load each clear it.
  EXPECT_TRUE(take(orvel_build_wish_request_json(nullptr, 1, "track", "t", nullptr, nullptr)));
  EXPECT_EQ(last_error(), "");
  provoke("null arg");
  EXPECT_EQ(orvel_load_mine_json(s.get(), "[]", 0), 0);
  EXPECT_EQ(last_error(), "");
}
