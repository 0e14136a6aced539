// SPDX-License-Identifier: MIT
// The journal's contract, through its public header only.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "sync_support.h"

using namespace orvel_sync_test;

namespace {

TEST(Journal, VersionsAndCreation) {
  EXPECT_STREQ(orvel_sync_version(), ORVEL_SYNC_VERSION);
  EXPECT_EQ(orvel_sync_abi_version(), ORVEL_SYNC_ABI_VERSION);
  EXPECT_EQ(orvel_sync_create(nullptr), nullptr);
  EXPECT_EQ(reason(), "null arg");
  orvel_sync_destroy(nullptr);
  orvel_sync_free(nullptr);
  Synced s;
  ASSERT_NE(s.j(), nullptr);
  EXPECT_EQ(reason(), "");
  for (int32_t which : {ORVEL_SYNC_HELD, ORVEL_SYNC_UNSENT, ORVEL_SYNC_IN_FLIGHT, ORVEL_SYNC_CONFIRMING}) {
    EXPECT_EQ(s.count(which), 0);
  }
  EXPECT_EQ(s.count(ORVEL_SYNC_UNCERTAIN), 0);
  EXPECT_EQ(s.count(ORVEL_SYNC_UNCERTAIN + 1), -1);
  EXPECT_EQ(reason(), "invalid argument");
  EXPECT_EQ(orvel_sync_count(nullptr, ORVEL_SYNC_HELD), -1);
}

struct BadSet {
  const char *kind, *item_id, *title;
  const char *reason;
};

TEST(Journal, SetRefusesBadArgumentsAndChangesNothing) {
  const BadSet cases[] = {
      {"Track", "t1", nullptr, "invalid kind"},   {nullptr, "t1", nullptr, "invalid kind"},
      {"tracks", "t1", nullptr, "invalid kind"},  {"track", nullptr, nullptr, "empty item_id"},
      {"track", "", nullptr, "empty item_id"},    {"track", "t\xff", nullptr, "invalid utf-8"},
      {"track", "t1", "\xed\xa0\x80", "invalid utf-8"},  // a surrogate
      {"track", "t1", "\xc0\xaf", "invalid utf-8"},      // overlong
      {"track", "t1", "\xf0\x8f\xbf\xbf", "invalid utf-8"},  // overlong, four bytes
      {"track", "t1", "\xf4\x90\x80\x80", "invalid utf-8"},  // above U+10FFFF
      {"track", "t1", "\xe2\x82", "invalid utf-8"},      // truncated
  };
  Synced s;
  s.set(true, "album", "a1", "A", "B");
  const std::string before = s.snapshot();
  for (const BadSet &c : cases) {
    EXPECT_EQ(orvel_sync_set(s.j(), 1, c.kind, c.item_id, c.title, nullptr), -1) << c.reason;
    EXPECT_EQ(reason(), c.reason);
    EXPECT_EQ(s.snapshot(), before);
  }
  EXPECT_EQ(orvel_sync_set(nullptr, 1, "track", "t1", nullptr, nullptr), -1);
  EXPECT_EQ(reason(), "null arg");
  EXPECT_GT(s.set(true, "track", "\xf0\x9f\x8e\xb5", "\xe2\x82\xac \xf4\x8f\xbf\xbf", "\xed\x9f\xbf"), 0)
      << "four-byte characters and the edges around the surrogates are valid";
}

TEST(Journal, SetShowsTheIntentAtOnceAndANewerIntentReplacesAnUnsentOne) {
  Synced s;
  EXPECT_EQ(s.set(true, "album", "a1", "North", "Velvetine"), 1);
  EXPECT_TRUE(s.shows("album", "a1"));
  EXPECT_EQ(s.set(true, "album", "a1"), 0) << "the store shows it already";
  EXPECT_EQ(s.set(false, "track", "t9"), 0) << "nothing to remove";
  EXPECT_EQ(s.set(true, "track", "t1"), 2);
  auto [first, first_id] = s.next();
  EXPECT_EQ(first_id, 1);
  EXPECT_EQ(s.set(false, "album", "a1"), 3);
  EXPECT_EQ(s.set(true, "album", "a1", "North", "Velvetine"), 4);
  EXPECT_EQ(s.set(false, "album", "a1"), 5);
  EXPECT_FALSE(s.shows("album", "a1"));
  EXPECT_EQ(s.count(ORVEL_SYNC_UNSENT), 2) << "operation 5 replaced 4, which replaced 3";
  orvel_sync_report(s.j(), first_id, ORVEL_SYNC_ACCEPTED);
  // In the order recorded: track t1 (2), then the album's removal (5).
  EXPECT_EQ(s.next().second, 2);
  auto [second, second_id] = s.next();
  EXPECT_EQ(second_id, 5);
  EXPECT_EQ(*second, *take(orvel_build_wish_request_json("https://s.example", 0, "album", "a1", "North",
                                                          "Velvetine")))
      << "a removal keeps the texts of the addition it replaced";
}

TEST(Journal, ARemovalWithoutTextsTakesTheNewestOnesHeld) {
  Synced s;
  const int64_t first = s.set(true, "track", "t1", "Old", "A");
  s.send();
  orvel_sync_report(s.j(), first, ORVEL_SYNC_ACCEPTED);  // confirming, with the old texts
  const int64_t second = s.set(false, "track", "t1");
  s.send();
  s.set(true, "track", "t1", "New", "B");  // unsent behind the removal in flight
  const int64_t removal = s.set(false, "track", "t1");
  orvel_sync_report(s.j(), second, ORVEL_SYNC_ACCEPTED);
  auto [request, id] = s.next();
  EXPECT_EQ(id, removal);
  ASSERT_TRUE(request);
  EXPECT_EQ(*request, *take(orvel_build_wish_request_json("https://s.example", 0, "track", "t1", "New", "B")));
  orvel_sync_report(s.j(), removal, ORVEL_SYNC_REJECTED);
  EXPECT_NE(s.store_text().find(R"("itemId":"t1","title":"New","artist":"B")"), std::string::npos)
      << "a refused removal shows the entry as the user last saw it";
}

TEST(Journal, NextRequestIsTheLibrarysEnvelopeAndOneIdentityAtATime) {
  Synced s;
  s.set(true, "track", "t1", "T\"1", "A/1");
  auto [request, id] = s.next();
  ASSERT_TRUE(request);
  EXPECT_EQ(*request, *take(orvel_build_wish_request_json("https://s.example", 1, "track", "t1", "T\"1", "A/1")));
  EXPECT_EQ(s.count(ORVEL_SYNC_IN_FLIGHT), 1);
  EXPECT_EQ(s.set(false, "track", "t1"), 2);
  EXPECT_EQ(s.next().second, 0) << "t1 has a request in flight";
  EXPECT_EQ(reason(), "");
  s.set(true, "album", "a1");
  EXPECT_EQ(s.next().second, 3) << "another identity is not held up";
  ASSERT_EQ(orvel_sync_report(s.j(), id, ORVEL_SYNC_ACCEPTED), 0);
  EXPECT_EQ(s.next().second, 2) << "t1's removal once its addition is answered";

  int64_t op = 5;
  EXPECT_EQ(orvel_sync_next_request(s.j(), "", nullptr), nullptr);
  EXPECT_EQ(reason(), "null arg");
  EXPECT_EQ(orvel_sync_next_request(nullptr, "", &op), nullptr);
  EXPECT_EQ(op, 0);
  s.set(true, "artist", "r1");
  EXPECT_EQ(orvel_sync_next_request(s.j(), "https://\xff", &op), nullptr);
  EXPECT_EQ(reason(), "invalid utf-8");
  EXPECT_EQ(s.count(ORVEL_SYNC_UNSENT), 1) << "still unsent";
}

struct Outcome {
  const char *name;
  bool add;            // the operation in flight adds (else removes)
  bool texts;          // a removal was given its texts
  bool newer_intent;   // a newer intent was recorded while it was in flight
  int32_t outcome;
  bool shown_after;
  int32_t unsent_after, confirming_after;
};

TEST(Journal, ReportPutsTheStoreBackOrKeepsTheOperation) {
  const Outcome cases[] = {
      {"accepted add", true, false, false, ORVEL_SYNC_ACCEPTED, true, 0, 1},
      {"accepted removal", false, false, false, ORVEL_SYNC_ACCEPTED, false, 0, 1},
      {"rejected add is removed", true, false, false, ORVEL_SYNC_REJECTED, false, 0, 0},
      {"rejected removal with texts is shown again", false, true, false, ORVEL_SYNC_REJECTED, true, 0, 0},
      {"rejected removal without texts waits for a load", false, false, false, ORVEL_SYNC_REJECTED, false, 0, 0},
      {"rejected add under a newer intent", true, false, true, ORVEL_SYNC_REJECTED, false, 1, 0},
      {"rejected removal under a newer intent", false, true, true, ORVEL_SYNC_REJECTED, true, 1, 0},
      {"failed add is unsent again", true, false, false, ORVEL_SYNC_FAILED, true, 1, 0},
      {"failed add replaced by a newer intent", true, false, true, ORVEL_SYNC_FAILED, false, 1, 0},
  };
  for (const Outcome &c : cases) {
    Synced s;
    if (!c.add) {
      ASSERT_EQ(s.load(orvel_sync_begin_refresh(s.j()), R"({"albums":[{"itemId":"a1","title":"X"}]})"), 1);
      s.set(false, "album", "a1", c.texts ? "X" : nullptr, c.texts ? "" : nullptr);
    } else {
      s.set(true, "album", "a1", "X", "");
    }
    const int64_t id = s.send();
    if (c.newer_intent) s.set(!c.add, "album", "a1", "X", "");
    ASSERT_EQ(orvel_sync_report(s.j(), id, c.outcome), 0) << c.name;
    EXPECT_EQ(s.shows("album", "a1"), c.shown_after) << c.name;
    EXPECT_EQ(s.count(ORVEL_SYNC_UNSENT), c.unsent_after) << c.name;
    EXPECT_EQ(s.count(ORVEL_SYNC_CONFIRMING), c.confirming_after) << c.name;
    EXPECT_EQ(s.count(ORVEL_SYNC_IN_FLIGHT), 0) << c.name;
    EXPECT_EQ(orvel_sync_report(s.j(), id, ORVEL_SYNC_ACCEPTED), -1) << c.name << ": reported twice";
    EXPECT_EQ(reason(), "unknown operation");
  }
}

TEST(Journal, AFailedRequestIsSentAgainUnderItsOwnId) {
  Synced s;
  s.set(true, "track", "t1");
  const int64_t id = s.send();
  ASSERT_EQ(orvel_sync_report(s.j(), id, ORVEL_SYNC_FAILED), 0);
  EXPECT_EQ(s.send(), id);
  const std::string before = s.snapshot();
  EXPECT_EQ(orvel_sync_report(s.j(), id, 0), -1);
  EXPECT_EQ(reason(), "invalid argument");
  EXPECT_EQ(orvel_sync_report(s.j(), 99, ORVEL_SYNC_FAILED), -1);
  EXPECT_EQ(reason(), "unknown operation");
  EXPECT_EQ(orvel_sync_report(nullptr, id, ORVEL_SYNC_FAILED), -1);
  EXPECT_EQ(reason(), "null arg");
  EXPECT_EQ(s.snapshot(), before);
}

// The three ways an app lost wishes before the journal.
TEST(Journal, AChangeMadeDuringAFetchSurvivesItsResponse) {
  Synced s;
  const int64_t token = orvel_sync_begin_refresh(s.j());
  s.set(true, "album", "new");
  s.set(false, "album", "old");  // not shown yet: nothing recorded
  EXPECT_EQ(s.load(token, R"({"albums":["old","kept"]})"), 3);
  EXPECT_TRUE(s.shows("album", "new"));
  EXPECT_TRUE(s.shows("album", "old")) << "the intent to remove came before the entry was known";
  EXPECT_EQ(s.set(false, "album", "old"), 2);
  EXPECT_EQ(s.load(orvel_sync_begin_refresh(s.j()), R"({"albums":["old","kept"]})"), 2);
  EXPECT_FALSE(s.shows("album", "old")) << "an unsent removal is shown again after a refresh";
}

TEST(Journal, AFailedPostIsNotUndoneByTheNextRefresh) {
  Synced s;
  s.set(true, "track", "t1");
  ASSERT_EQ(orvel_sync_report(s.j(), s.send(), ORVEL_SYNC_FAILED), 0);
  EXPECT_EQ(s.load(orvel_sync_begin_refresh(s.j()), "[]"), 1);
  EXPECT_TRUE(s.shows("track", "t1"));
}

TEST(Journal, AcceptedOperationsLeaveOnlyWithAResponseFetchedAfterThem) {
  Synced s;
  const int64_t early = orvel_sync_begin_refresh(s.j());
  s.set(true, "track", "t1");
  ASSERT_EQ(orvel_sync_report(s.j(), s.send(), ORVEL_SYNC_ACCEPTED), 0);
  // The early fetch may have left before the service applied t1.
  EXPECT_EQ(s.load(early, "[]"), 1);
  EXPECT_TRUE(s.shows("track", "t1"));
  EXPECT_EQ(s.count(ORVEL_SYNC_CONFIRMING), 1);
  const int64_t late = orvel_sync_begin_refresh(s.j());
  EXPECT_EQ(s.load(late, R"({"tracks":["t1"]})"), 1);
  EXPECT_EQ(s.count(ORVEL_SYNC_HELD), 0);
  // Another device removed it since: the service's truth wins.
  EXPECT_EQ(s.load(orvel_sync_begin_refresh(s.j()), "[]"), 0);
}

TEST(Journal, AResponseOlderThanOneLoadedIsIgnored) {
  Synced s;
  const int64_t first = orvel_sync_begin_refresh(s.j());
  const int64_t second = orvel_sync_begin_refresh(s.j());
  EXPECT_EQ(s.load(second, R"({"tracks":["t2"]})"), 1);
  const std::string before = s.snapshot();
  EXPECT_EQ(s.load(first, R"({"tracks":["t1"]})"), ORVEL_SYNC_STALE);
  EXPECT_EQ(reason(), "stale response");
  EXPECT_EQ(s.snapshot(), before);
  EXPECT_EQ(s.load(second, R"({"tracks":["t3"]})"), 1) << "the same token again is not older";
  for (int64_t token : {int64_t{0}, int64_t{-1}, second + 1}) {
    EXPECT_EQ(s.load(token, "[]"), -1);
    EXPECT_EQ(reason(), "unknown token");
  }
}

TEST(Journal, AFailedLoadChangesNothing) {
  Synced s;
  s.set(true, "track", "t1");
  s.send();
  s.set(true, "album", "a1");
  const int64_t token = orvel_sync_begin_refresh(s.j());
  const std::string before = s.snapshot();
  for (const std::string &bad : std::vector<std::string>{"", " ", "[", "[1,]", "\xef\xbb\xbf[]", "{\"items\":[]}x", "[\"\xff\"]",
                                "{\"tracks\":[\"t\"],}", std::string("[]\0", 3)}) {
    EXPECT_EQ(s.load(token, bad), -1) << bad;
    EXPECT_EQ(reason(), "invalid json") << bad;
    EXPECT_EQ(s.snapshot(), before) << bad;
  }
  EXPECT_EQ(orvel_sync_load(s.j(), token, nullptr, 0), -1);
  EXPECT_EQ(reason(), "null arg");
}

// Every shape the loader reads keeps its own entries first, then the
// additions the journal shows again, whatever the response holds.
TEST(Journal, AdditionsComeAfterTheResponseInEveryShape) {
  const std::pair<std::string, std::vector<std::string>> shapes[] = {
      {R"([{"kind":"track","itemId":"r"}])", {"track/r"}},
      {R"({"items":[{"kind":"track","itemId":"r"}],"total":1})", {"track/r"}},
      {R"({"playlists":["p"],"tracks":["r"],"albums":[]})", {"track/r", "playlist/p"}},
      {R"({"playlists":"none","tracks":["r"]})", {"track/r"}},
      {R"({"tr\u0061cks":["r"],"tracks":5})", {"track/r"}},
      {R"({"tracks":5,"tracks":["r"]})", {}},
      {R"({"total":0})", {}},
      {R"({})", {}},
      {R"("text")", {}},
      {" [ ] ", {}},
      {R"({"artists":[ ],"wishes":[{"kind":"album","itemId":"a"}]})", {"album/a"}},
      // Strings that end in an escaped backslash end there.
      {R"({"tracks":[{"itemId":"r","title":"a\\"},"x\\"],"note":"\\\""})", {"track/r", "track/x\\"}},
  };
  for (const auto &[response, expected_front] : shapes) {
    Synced s;
    s.set(true, "artist", "mine");
    s.set(true, "track", "r", "mine too");
    const int64_t token = orvel_sync_begin_refresh(s.j());
    ASSERT_GE(s.load(token, response), 0) << response << ": " << reason();
    std::vector<std::string> got;
    for (const auto &e : orvel_test::entries(s.store.get())) got.push_back(e.kind + "/" + e.item_id);
    std::vector<std::string> expected = expected_front;
    expected.push_back("artist/mine");
    if (std::find(expected.begin(), expected.end(), "track/r") == expected.end()) expected.push_back("track/r");
    EXPECT_EQ(got, expected) << response;
  }
}

TEST(Journal, ExportAndRestoreCarryEveryOperationAcrossARestart) {
  Synced s;
  s.set(true, "track", "t1", "T", "A");
  const int64_t accepted = s.send();
  orvel_sync_report(s.j(), accepted, ORVEL_SYNC_ACCEPTED);
  s.set(false, "track", "t1");
  const int64_t in_flight = s.send();
  s.set(true, "track", "t1", "T2", "A2");  // replaces the in-flight removal once restored
  s.set(true, "album", "a1");
  const int64_t flying = s.send();
  const int64_t token = orvel_sync_begin_refresh(s.j());
  EXPECT_EQ(s.journal_text(),
            R"({"format":"orvel-journal","version":2,"nextId":5,"lastToken":1,"loadedToken":0,"operations":[)"
            R"({"id":1,"state":"confirming","op":"add","kind":"track","itemId":"t1","title":"T","artist":"A","attempts":1,"acceptedAfter":0},)"
            R"({"id":2,"state":"inFlight","op":"remove","kind":"track","itemId":"t1","title":"T","artist":"A","attempts":1},)"
            R"({"id":3,"state":"unsent","op":"add","kind":"track","itemId":"t1","title":"T2","artist":"A2","attempts":0},)"
            R"({"id":4,"state":"inFlight","op":"add","kind":"album","itemId":"a1","title":"","artist":"","attempts":1}],"uncertain":[]})");
  EXPECT_EQ(in_flight, 2);

  Synced after;
  const std::string saved = s.journal_text();
  ASSERT_EQ(orvel_sync_restore(after.j(), saved.data(), saved.size()), 3) << reason();
  EXPECT_TRUE(after.shows("track", "t1")) << "a restore shows every intent";
  EXPECT_TRUE(after.shows("album", "a1"));
  EXPECT_EQ(after.count(ORVEL_SYNC_UNSENT), 2);
  EXPECT_EQ(after.count(ORVEL_SYNC_CONFIRMING), 1);
  EXPECT_EQ(orvel_sync_report(after.j(), flying, ORVEL_SYNC_ACCEPTED), -1) << "in flight before the restart";
  EXPECT_EQ(after.send(), 3);
  EXPECT_EQ(after.send(), 4);
  EXPECT_EQ(after.set(false, "album", "a9"), 0);
  EXPECT_EQ(after.set(true, "album", "a9"), 5) << "ids continue";
  EXPECT_EQ(orvel_sync_begin_refresh(after.j()), token + 1) << "tokens continue";

  const std::string before = after.snapshot();
  EXPECT_EQ(orvel_sync_restore(after.j(), saved.data(), saved.size()), -1);
  EXPECT_EQ(reason(), "journal not empty");
  EXPECT_EQ(after.snapshot(), before);

  // A restored removal takes away an entry that the saved store still shows.
  Synced older;
  older.load(orvel_sync_begin_refresh(older.j()), R"({"tracks":["t1","t2"]})");
  const std::string removal =
      R"({"format":"orvel-journal","version":1,"nextId":2,"lastToken":0,"loadedToken":0,"operations":[)"
      R"({"id":1,"state":"unsent","op":"remove","kind":"track","itemId":"t2","title":null,"artist":null}]})";
  ASSERT_EQ(orvel_sync_restore(older.j(), removal.data(), 0), 1);
  EXPECT_FALSE(older.shows("track", "t2"));
  EXPECT_NE(older.journal_text().find(R"("itemId":"t2","title":null,"artist":null)"), std::string::npos)
      << "unknown texts stay unknown";
}

TEST(Journal, RestoreRefusesAnythingItDidNotWriteAndChangesNothing) {
  const std::string head = R"({"format":"orvel-journal","version":1,"nextId":9,"lastToken":3,"loadedToken":2,"operations":)";
  const std::string op = R"({"id":1,"state":"unsent","op":"add","kind":"track","itemId":"t","title":"","artist":""})";
  const std::pair<std::string, const char *> cases[] = {
      {"", "invalid json"},
      {head + "[" + op + "]", "invalid json"},  // truncated
      {"[]", "invalid journal"},
      {head + "[]}", ""},
      {R"({"format":"orvel-journal","version":3})", "unsupported version"},
      {R"({"format":"other","version":1,"nextId":1,"lastToken":0,"loadedToken":0,"operations":[]})", "invalid journal"},
      {R"({"format":"orvel-journal","version":"1","nextId":1,"lastToken":0,"loadedToken":0,"operations":[]})", "invalid journal"},
      {R"({"format":"orvel-journal","version":1,"nextId":1,"lastToken":0,"loadedToken":0,"operations":[],"extra":1})", "invalid journal"},
      {R"({"format":"orvel-journal","version":1,"version":1,"nextId":1,"lastToken":0,"loadedToken":0,"operations":[]})", "invalid journal"},
      {R"({"format":"orvel-journal","version":1,"nextId":0,"lastToken":0,"loadedToken":0,"operations":[]})", "invalid journal"},
      {R"({"format":"orvel-journal","version":1,"nextId":1,"lastToken":0,"loadedToken":1,"operations":[]})", "invalid journal"},
      {R"({"format":"orvel-journal","version":1,"nextId":-1,"lastToken":0,"loadedToken":0,"operations":[]})", "invalid journal"},
      {head + "[" + op + "," + op + "]}", "invalid journal"},  // ids must increase
      {head + R"([{"id":9,"state":"unsent","op":"add","kind":"track","itemId":"t","title":"","artist":""}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"sent","op":"add","kind":"track","itemId":"t","title":"","artist":""}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"unsent","op":"toggle","kind":"track","itemId":"t","title":"","artist":""}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"unsent","op":"add","kind":"Track","itemId":"t","title":"","artist":""}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"unsent","op":"add","kind":"track\u0000","itemId":"t","title":"","artist":""}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"unsent","op":"add","kind":"track","itemId":"","title":"","artist":""}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"unsent","op":"add","kind":"track","itemId":"t","title":"a\u0000b","artist":""}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"unsent","op":"add","kind":"track","itemId":"t","title":null,"artist":null}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"unsent","op":"remove","kind":"track","itemId":"t","title":null,"artist":""}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"unsent","op":"add","kind":"track","itemId":"t","title":""}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"confirming","op":"add","kind":"track","itemId":"t","title":"","artist":""}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"confirming","op":"add","kind":"track","itemId":"t","title":"","artist":"","acceptedAfter":4}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"unsent","op":"add","kind":"track","itemId":"t","title":"","artist":"","acceptedAfter":1}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"unsent","op":"add","kind":"track","itemId":"t","title":"","artist":""},)"
              R"({"id":2,"state":"unsent","op":"remove","kind":"track","itemId":"t","title":"","artist":""}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"unsent","op":"add","kind":"track","itemId":"t","title":"","artist":""},)"
              R"({"id":2,"state":"inFlight","op":"remove","kind":"track","itemId":"t","title":"","artist":""}]})", "invalid journal"},
      {head + R"([{"id":1,"state":"inFlight","op":"add","kind":"track","itemId":"t","title":"","artist":""},)"
              R"({"id":2,"state":"confirming","op":"remove","kind":"track","itemId":"t","title":"","artist":"","acceptedAfter":1}]})", "invalid journal"},
  };
  for (const auto &[text, why] : cases) {
    Synced s;
    s.load(orvel_sync_begin_refresh(s.j()), R"({"albums":["a"]})");
    const std::string before = s.snapshot();
    const int32_t result = orvel_sync_restore(s.j(), text.data(), text.size());
    if (why[0] == '\0') {
      EXPECT_EQ(result, 0) << text << ": " << reason();
      continue;
    }
    EXPECT_EQ(result, -1) << text;
    EXPECT_EQ(reason(), why) << text;
    EXPECT_EQ(s.snapshot(), before) << text;
  }
}

TEST(Journal, DistinctJournalsOnDistinctThreads) {
  std::vector<std::thread> threads;
  std::vector<int> held(4, -1);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &held] {
      Synced s;
      for (int i = 0; i < 200; ++i) {
        const std::string id = "t" + std::to_string(i % 17);
        s.set(i % 3 != 0, "track", id.c_str());
        if (const int64_t op = s.send(); op > 0) orvel_sync_report(s.j(), op, 1 + (i + t) % 3);
        if (i % 50 == 0) s.load(orvel_sync_begin_refresh(s.j()), "[]");
      }
      held[static_cast<std::size_t>(t)] = s.count(ORVEL_SYNC_HELD);
    });
  }
  for (auto &th : threads) th.join();
  for (int h : held) EXPECT_GE(h, 0);
}

}  // namespace
