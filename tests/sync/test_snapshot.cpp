// SPDX-License-Identifier: MIT
// Saving and reading back: the one snapshot of store and journal, the
// journal's own text in both of its versions, and what a restore refuses.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "sync_support.h"

namespace {

using namespace orvel_sync_test;

struct Opened {
  orvel_store *store = nullptr;
  orvel_journal *journal = nullptr;
  ~Opened() {
    orvel_sync_destroy(journal);
    orvel_destroy(store);
  }
};

// A journal with something in every state, an uncertain entry and a settled one.
void fill(const Synced &s) {
  s.load(orvel_sync_begin_refresh(s.j()), R"({"albums":[{"itemId":"a0","title":"Zero","artist":"Q"}]})");
  const int64_t landed_maybe = s.set(true, "track", "t1", "T\"1", "A");
  s.send();
  orvel_sync_report(s.j(), landed_maybe, ORVEL_SYNC_UNKNOWN);
  const int64_t accepted = s.send();
  orvel_sync_report(s.j(), accepted, ORVEL_SYNC_ACCEPTED);
  s.load(orvel_sync_begin_refresh(s.j()), R"({"albums":["a0"],"tracks":["t1"]})");  // t1 settled, uncertain
  s.set(false, "album", "a0");
  const int64_t flying = s.send();
  s.set(true, "album", "a0", "Zero", "Q");  // unsent behind the one in flight
  const int64_t failed = s.set(true, "playlist", "p1", "P", "");
  s.send();
  orvel_sync_report(s.j(), failed, ORVEL_SYNC_FAILED);
  s.set(false, "track", "gone");  // nothing to remove: records nothing
  EXPECT_GT(flying, 0);
}

TEST(Snapshot, OneTextCarriesStoreAndJournalAcrossARestart) {
  Synced s;
  fill(s);
  const std::string text = take_sync(orvel_sync_snapshot(s.j())).value_or("");
  ASSERT_EQ(text.rfind(R"({"format":"orvel-snapshot","version":1,"store":)" + s.store_text() + R"(,"journal":)", 0), 0u);

  Opened o;
  o.journal = orvel_sync_open_snapshot(text.data(), text.size(), &o.store);
  ASSERT_NE(o.journal, nullptr) << reason();
  EXPECT_EQ(reason(), "");
  EXPECT_EQ(take(orvel_export_json(o.store)), s.store_text()) << "the store comes back as it was";
  EXPECT_EQ(orvel_sync_count(o.journal, ORVEL_SYNC_HELD), s.count(ORVEL_SYNC_HELD) - 1)
      << "the removal in flight gives way to the newer addition";
  EXPECT_EQ(orvel_sync_count(o.journal, ORVEL_SYNC_IN_FLIGHT), 0);
  EXPECT_EQ(orvel_sync_count(o.journal, ORVEL_SYNC_UNCERTAIN), 2)
      << "t1 as it was, and a0, whose removal was in flight and may still land";
  orvel_sync_entry e{};
  ASSERT_EQ(orvel_sync_entry_status(o.journal, "playlist", "p1", &e), 1);
  EXPECT_EQ(e.attempts, 1u) << "attempts are kept";
  ASSERT_EQ(orvel_sync_entry_status(o.journal, "track", "t1", &e), 1);
  EXPECT_EQ(e.state, ORVEL_SYNC_UNCERTAIN);
  EXPECT_EQ(e.wished, 1);
  // And the reopened snapshot saves as it was read, but for what was in flight.
  const std::string again = take_sync(orvel_sync_snapshot(o.journal)).value_or("");
  Opened twice;
  twice.journal = orvel_sync_open_snapshot(again.c_str(), 0, &twice.store);
  ASSERT_NE(twice.journal, nullptr) << reason();
  EXPECT_EQ(take_sync(orvel_sync_snapshot(twice.journal)).value_or(""), again);
}

// The journal's text is written by hand for speed: it must be byte for byte
// what the JSON library writes for the same document, whatever the texts hold.
TEST(Snapshot, TheTextIsTheJsonLibrarysOwnWritingOfItAndReadsBack) {
  Synced s;
  fill(s);
  const char *texts[] = {"plain", "quote \" and back\\slash", "controls \x01\x1f\b\f\n\r\t end",
                         "del \x7f, \xc3\xa9, \xe2\x80\xa8, \xf0\x9f\x8e\xb5", ""};
  const std::string controls(2000, '\x1f');  // past the writer's first guess at the length
  ASSERT_GT(s.set(true, "album", "controls", controls.c_str(), controls.c_str()), 0) << reason();
  int n = 0;
  for (const char *t : texts) {
    const std::string id = std::string("id ") + t + std::to_string(n++);
    ASSERT_GT(s.set(true, "track", id.c_str(), t, t), 0) << reason();
  }
  ASSERT_NE(s.next().second, 0);
  ASSERT_NE(s.next().second, 0);
  for (int i = 0; i < 3; ++i) {
    const auto [request, id] = s.next();
    ASSERT_NE(id, 0);
    ASSERT_EQ(orvel_sync_report(s.j(), id, i == 0 ? ORVEL_SYNC_ACCEPTED : ORVEL_SYNC_UNKNOWN), 0) << reason();
  }
  for (auto *take_text : {orvel_sync_export, orvel_sync_snapshot}) {
    const std::string text = take_sync(take_text(s.j())).value_or("");
    yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
    ASSERT_NE(doc, nullptr) << text;
    size_t len = 0;
    char *written = yyjson_write(doc, 0, &len);
    EXPECT_EQ(std::string(written, len), text);
    std::free(written);
    yyjson_doc_free(doc);
  }
  const std::string text = take_sync(orvel_sync_snapshot(s.j())).value_or("");
  Opened o;
  o.journal = orvel_sync_open_snapshot(text.data(), text.size(), &o.store);
  ASSERT_NE(o.journal, nullptr) << reason();
  EXPECT_EQ(take(orvel_export_json(o.store)), s.store_text());
}

TEST(Snapshot, OpenRefusesDamageAnywhereAndLeavesNothing) {
  Synced s;
  fill(s);
  const std::string good = take_sync(orvel_sync_snapshot(s.j())).value_or("");
  const std::string journal = s.journal_text();
  const std::string head = R"({"format":"orvel-snapshot","version":1,"store":)";
  const auto with_store = [&](const std::string &store) { return head + store + R"(,"journal":)" + journal + "}"; };
  const std::pair<std::string, const char *> cases[] = {
      {"", "invalid json"},
      {good.substr(0, good.size() - 1), "invalid json"},
      {"[]", "invalid snapshot"},
      {R"({"format":"orvel-journal","version":1,"store":{},"journal":{}})", "invalid snapshot"},
      {R"({"format":"orvel-snapshot","version":2,"store":{},"journal":{}})", "unsupported version"},
      {R"({"format":"orvel-snapshot","version":1,"store":{"total":0,"items":[]}})", "invalid snapshot"},
      {good.substr(0, good.size() - 1) + R"(,"extra":1})", "invalid snapshot"},
      {with_store(R"({"total":1,"items":[]})"), "invalid snapshot"},
      {with_store(R"({"items":[]})"), "invalid snapshot"},
      {with_store(R"({"total":1,"items":[{"kind":"track","itemId":"t","title":"","artist":""}],"more":0})"), "invalid snapshot"},
      {with_store(R"({"total":1,"items":[{"kind":"Track","itemId":"t","title":"","artist":""}]})"), "invalid snapshot"},
      {with_store(R"({"total":1,"items":[{"kind":"track","itemId":"","title":"","artist":""}]})"), "invalid snapshot"},
      {with_store(R"({"total":1,"items":[{"kind":"track","itemId":"t","title":""}]})"), "invalid snapshot"},
      {with_store(R"({"total":1,"items":[{"kind":"track","itemId":"t","title":1,"artist":""}]})"), "invalid snapshot"},
      {with_store(R"({"total":2,"items":[{"kind":"track","itemId":"t","title":"","artist":""},)"
                  R"({"kind":"track","itemId":"t","title":"x","artist":""}]})"),
       "invalid snapshot"},  // one entry twice
      {head + R"({"total":0,"items":[]},"journal":{"format":"orvel-journal","version":9}})", "unsupported version"},
      {head + R"({"total":0,"items":[]},"journal":[]})", "invalid journal"},
  };
  for (const auto &[text, why] : cases) {
    orvel_store *store = reinterpret_cast<orvel_store *>(&s);  // must become NULL
    EXPECT_EQ(orvel_sync_open_snapshot(text.data(), text.size(), &store), nullptr) << text;
    EXPECT_EQ(store, nullptr);
    EXPECT_EQ(reason(), why) << text;
  }
  EXPECT_EQ(orvel_sync_open_snapshot(good.c_str(), 0, nullptr), nullptr);
  EXPECT_EQ(reason(), "null arg");
  orvel_store *store = nullptr;
  EXPECT_EQ(orvel_sync_open_snapshot(nullptr, 0, &store), nullptr);
  EXPECT_EQ(orvel_sync_snapshot(nullptr), nullptr);
  EXPECT_EQ(reason(), "null arg");
  Opened empty;
  const std::string none = head + R"({"total":0,"items":[]},"journal":)" + Synced().journal_text() + "}";
  empty.journal = orvel_sync_open_snapshot(none.data(), none.size(), &empty.store);
  ASSERT_NE(empty.journal, nullptr) << reason();
  EXPECT_EQ(orvel_count(empty.store), 0);
}

TEST(Restore, ReadsTheFirstVersionAndMembersInAnyOrder) {
  // As 1.0 wrote it: no attempts, no uncertain entries.
  const std::string v1 =
      R"({"format":"orvel-journal","version":1,"nextId":4,"lastToken":1,"loadedToken":1,"operations":[)"
      R"({"id":2,"state":"unsent","op":"add","kind":"track","itemId":"t1","title":"T","artist":"A"},)"
      R"({"id":3,"state":"inFlight","op":"add","kind":"album","itemId":"a1","title":"","artist":""}]})";
  Synced s;
  ASSERT_EQ(orvel_sync_restore(s.j(), v1.data(), v1.size()), 2) << reason();
  EXPECT_NE(s.journal_text().find(R"("version":2)"), std::string::npos);
  EXPECT_EQ(s.count(ORVEL_SYNC_UNCERTAIN), 1) << "a request in flight when saved may land";

  // The same journal, every object's members in another order.
  const std::string shuffled =
      R"({"operations":[{"artist":"A","title":"T","itemId":"t1","kind":"track","op":"add","state":"unsent","attempts":0,"id":2},)"
      R"({"attempts":1,"state":"inFlight","id":3,"artist":"","title":"","op":"add","itemId":"a1","kind":"album"}],)"
      R"("uncertain":[],"loadedToken":1,"lastToken":1,"nextId":4,"version":2,"format":"orvel-journal"})";
  Synced t;
  ASSERT_EQ(orvel_sync_restore(t.j(), shuffled.data(), shuffled.size()), 2) << reason();
  EXPECT_EQ(t.journal_text(),
            R"({"format":"orvel-journal","version":2,"nextId":4,"lastToken":1,"loadedToken":1,"operations":[)"
            R"({"id":2,"state":"unsent","op":"add","kind":"track","itemId":"t1","title":"T","artist":"A","attempts":0},)"
            R"({"id":3,"state":"unsent","op":"add","kind":"album","itemId":"a1","title":"","artist":"","attempts":1}],)"
            R"("uncertain":[{"kind":"album","itemId":"a1","maybeAdd":1,"maybeRemove":0,"settled":null}]})");
}

TEST(Restore, NeverHandsOutAnIdOrTokenTwice) {
  Synced s;
  for (const char *id : {"a", "b", "c", "d", "e"}) {
    const int64_t op = s.set(true, "track", id);
    s.send();
    orvel_sync_report(s.j(), op, ORVEL_SYNC_REJECTED);  // nothing held again
  }
  for (int i = 0; i < 3; ++i) orvel_sync_begin_refresh(s.j());
  const std::string older =
      R"({"format":"orvel-journal","version":2,"nextId":2,"lastToken":1,"loadedToken":0,"operations":[)"
      R"({"id":1,"state":"unsent","op":"add","kind":"album","itemId":"x","title":"","artist":"","attempts":0}],"uncertain":[]})";
  ASSERT_EQ(orvel_sync_restore(s.j(), older.data(), older.size()), 1) << reason();
  EXPECT_EQ(s.set(true, "album", "y"), 6) << "ids go on from the larger next id";
  EXPECT_EQ(orvel_sync_begin_refresh(s.j()), 4) << "tokens too";
}

TEST(Restore, RefusesCountersWithNoRoomAndRecordsItDidNotWrite) {
  const std::string tail = R"(,"loadedToken":0,"operations":[],"uncertain":[]})";
  const std::string two_ids =
      R"({"format":"orvel-journal","version":2,"nextId":9,"lastToken":0,"loadedToken":0,"operations":[)"
      R"({"id":1,"state":"unsent","op":"add","kind":"track","itemId":"t","title":"","artist":"","attempts":0},)"
      R"({"id":1,"state":"unsent","op":"add","kind":"album","itemId":"a","title":"","artist":"","attempts":0}],"uncertain":[]})";
  const std::string head = R"({"format":"orvel-journal","version":2,"nextId":9,"lastToken":2,"loadedToken":1,"operations":[)";
  const std::string op1 = R"({"id":1,"state":"unsent","op":"add","kind":"track","itemId":"t","title":"","artist":"","attempts":0})";
  const std::pair<std::string, const char *> cases[] = {
      {R"({"format":"orvel-journal","version":2,"nextId":9223372036854775807,"lastToken":0)" + tail, "invalid journal"},
      {R"({"format":"orvel-journal","version":2,"nextId":9007199254740992,"lastToken":0)" + tail, "invalid journal"},
      {R"({"format":"orvel-journal","version":2,"nextId":1,"lastToken":9223372036854775807)" + tail, "invalid journal"},
      {R"({"format":"orvel-journal","version":2,"nextId":1,"lastToken":9007199254740992)" + tail, "invalid journal"},
      {R"({"format":"orvel-journal","version":2,"nextId":9007199254740991,"lastToken":9007199254740991)" + tail, ""},
      {two_ids, "invalid journal"},  // one id for two entries
      {head + op1 + R"(],"uncertain":[]})", ""},
      {head + R"({"id":1,"state":"unsent","op":"add","kind":"track","itemId":"t","title":"","artist":""}],"uncertain":[]})",
       "invalid journal"},  // version 2 always has attempts
      {R"({"format":"orvel-journal","version":1,"nextId":9,"lastToken":0,"loadedToken":0,"operations":[],"uncertain":[]})",
       "invalid journal"},  // version 1 had no uncertain entries
      {head + op1 + R"(]})", "invalid journal"},
      {head + op1 + R"(],"uncertain":[{"kind":"track","itemId":"t","maybeAdd":1,"maybeRemove":0,"settled":null}]})", ""},
      {head + op1 + R"(],"uncertain":[{"kind":"track","itemId":"t","maybeAdd":1,"maybeRemove":0,"settled":null},)"
                    R"({"kind":"track","itemId":"t","maybeAdd":1,"maybeRemove":0,"settled":null}]})",
       "invalid journal"},  // twice
      {head + op1 + R"(],"uncertain":[{"kind":"track","itemId":"t","maybeAdd":0,"maybeRemove":0,"settled":null}]})",
       "invalid journal"},  // nothing uncertain
      {head + op1 + R"(],"uncertain":[{"kind":"track","itemId":"t","maybeAdd":1,"maybeRemove":0,)"
                    R"("settled":{"op":"add","title":"","artist":""}}]})",
       "invalid journal"},  // settled although an operation is held
      {head + R"(],"uncertain":[{"kind":"track","itemId":"u","maybeAdd":1,"maybeRemove":0,"settled":null}]})",
       "invalid journal"},  // neither held nor settled
      {head + R"(],"uncertain":[{"kind":"track","itemId":"u","maybeAdd":4294967295,"maybeRemove":1,)"
                R"("settled":{"op":"remove","title":null,"artist":null}}]})",
       ""},
      {head + R"(],"uncertain":[{"kind":"track","itemId":"u","maybeAdd":4294967296,"maybeRemove":1,)"
                R"("settled":{"op":"remove","title":null,"artist":null}}]})",
       "invalid journal"},
      {head + R"(],"uncertain":[{"kind":"track","itemId":"u","maybeAdd":1,"maybeRemove":0,)"
                R"("settled":{"op":"add","title":null,"artist":null}}]})",
       "invalid journal"},  // an addition always knows its texts
  };
  for (const auto &[text, why] : cases) {
    Synced s;
    const std::string before = s.snapshot();
    const int32_t result = orvel_sync_restore(s.j(), text.data(), text.size());
    if (why[0] == '\0') {
      EXPECT_GE(result, 0) << text << ": " << reason();
      continue;
    }
    EXPECT_EQ(result, -1) << text;
    EXPECT_EQ(reason(), why) << text;
    EXPECT_EQ(s.snapshot(), before) << text;
  }
  // Counters one short of the bound hand out one more of each, then refuse.
  Synced s;
  const std::string last = R"({"format":"orvel-journal","version":2,"nextId":9007199254740990,"lastToken":9007199254740990)" + tail;
  ASSERT_EQ(orvel_sync_restore(s.j(), last.data(), 0), 0) << reason();
  EXPECT_EQ(s.set(true, "track", "t"), 9007199254740990);
  EXPECT_EQ(s.set(true, "track", "u"), -1);
  EXPECT_EQ(reason(), "out of memory");
  EXPECT_EQ(orvel_sync_begin_refresh(s.j()), 9007199254740991);
  EXPECT_EQ(orvel_sync_begin_refresh(s.j()), -1);
  const std::string saved = s.journal_text();
  Synced again;
  EXPECT_EQ(orvel_sync_restore(again.j(), saved.data(), 0), 1) << "what it wrote at the bound reads back";
  // And a journal that only keeps an entry in mind is not empty.
  Synced u;
  const std::string uncertain = head + R"(],"uncertain":[{"kind":"track","itemId":"u","maybeAdd":1,"maybeRemove":0,)"
                                       R"("settled":{"op":"add","title":"","artist":""}}]})";
  ASSERT_EQ(orvel_sync_restore(u.j(), uncertain.data(), 0), 0) << reason();
  EXPECT_EQ(orvel_sync_restore(u.j(), uncertain.data(), 0), -1);
  EXPECT_EQ(reason(), "journal not empty");
}

}  // namespace
