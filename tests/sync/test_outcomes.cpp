// SPDX-License-Identifier: MIT
// What the journal does with each outcome beyond acceptance: failures that
// go behind the rest, unknown outcomes and the requests that land late, the
// status of an entry, what a report did to the store, and intents that
// cancel out.
#include <gtest/gtest.h>

#include <string>

#include "sync_support.h"

namespace {

using namespace orvel_sync_test;

orvel_sync_entry status(const Synced &s, const char *kind, const char *id) {
  orvel_sync_entry e{-9, -9, -9, 9, 9};
  EXPECT_GE(orvel_sync_entry_status(s.j(), kind, id, &e), 0) << reason();
  return e;
}

int32_t report(const Synced &s, int64_t op, int32_t outcome) {
  int32_t change = -1;
  EXPECT_EQ(orvel_sync_report_outcome(s.j(), op, outcome, &change), 0) << reason();
  return change;
}

// Loads a response fetched now: a token taken, the text loaded.
int32_t refresh(const Synced &s, const std::string &json) { return s.load(orvel_sync_begin_refresh(s.j()), json); }

TEST(Outcomes, AFailedRequestGoesBehindEveryOtherAndCountsItsAttempts) {
  for (const int32_t outcome : {ORVEL_SYNC_FAILED, ORVEL_SYNC_UNKNOWN}) {
    Synced s;
    const int64_t poison = s.set(true, "track", "poison");
    s.set(true, "track", "t1");
    s.set(true, "track", "t2");
    EXPECT_EQ(s.send(), poison);
    EXPECT_EQ(report(s, poison, outcome), ORVEL_SYNC_STORE_UNCHANGED);
    s.set(true, "track", "t3");
    // What was waiting when it failed goes first; what came after, after it.
    EXPECT_EQ(s.send(), 2);
    EXPECT_EQ(s.send(), 3);
    EXPECT_EQ(s.send(), poison);
    EXPECT_EQ(s.send(), 4);
    EXPECT_EQ(status(s, "track", "poison").attempts, 2u);
    report(s, poison, outcome);
    EXPECT_EQ(s.send(), poison) << "alone in the queue, it goes again";
    EXPECT_EQ(status(s, "track", "poison").attempts, 3u);
  }
}

TEST(Outcomes, StatusNamesTheNewestOperationInConstantTime) {
  Synced s;
  const orvel_sync_entry none = status(s, "album", "a1");
  EXPECT_EQ(orvel_sync_entry_status(s.j(), "album", "a1", nullptr), -1);
  EXPECT_EQ(reason(), "null arg");
  EXPECT_EQ(none.state, ORVEL_SYNC_SYNCED);
  EXPECT_EQ(none.wished, -1);
  EXPECT_EQ(none.op_id, 0);
  orvel_sync_entry e{};
  EXPECT_EQ(orvel_sync_entry_status(s.j(), "albums", "a1", &e), -1);
  EXPECT_EQ(reason(), "invalid kind");
  EXPECT_EQ(orvel_sync_entry_status(s.j(), "album", "", &e), -1);
  EXPECT_EQ(reason(), "empty item_id");

  const int64_t add = s.set(true, "album", "a1", "A", "B");
  e = status(s, "album", "a1");
  EXPECT_EQ(e.state, ORVEL_SYNC_UNSENT);
  EXPECT_EQ(e.wished, 1);
  EXPECT_EQ(e.op_id, add);
  EXPECT_EQ(s.send(), add);
  EXPECT_EQ(status(s, "album", "a1").state, ORVEL_SYNC_IN_FLIGHT);
  const int64_t removal = s.set(false, "album", "a1");
  e = status(s, "album", "a1");
  EXPECT_EQ(e.state, ORVEL_SYNC_UNSENT) << "the newest operation speaks for the entry";
  EXPECT_EQ(e.op_id, removal);
  EXPECT_EQ(e.wished, 0);
  EXPECT_EQ(e.attempts, 0u);
  report(s, add, ORVEL_SYNC_ACCEPTED);
  EXPECT_EQ(s.send(), removal);
  report(s, removal, ORVEL_SYNC_ACCEPTED);
  EXPECT_EQ(status(s, "album", "a1").state, ORVEL_SYNC_CONFIRMING);
  refresh(s, "[]");
  EXPECT_EQ(status(s, "album", "a1").state, ORVEL_SYNC_SYNCED);
}

TEST(Outcomes, AReportSaysWhatItDidToTheStore) {
  Synced s;
  refresh(s, R"({"albums":[{"itemId":"kept","title":"K","artist":"Q"}]})");
  const int64_t add = s.set(true, "track", "t1", "T", "A");
  const int64_t removal = orvel_sync_set(s.j(), 0, "album", "kept", "K", "Q");
  const int64_t other = s.set(true, "track", "t2");
  s.send();
  s.send();
  s.send();
  EXPECT_EQ(report(s, add, ORVEL_SYNC_REJECTED), ORVEL_SYNC_STORE_REMOVED);
  EXPECT_FALSE(s.shows("track", "t1"));
  EXPECT_EQ(report(s, removal, ORVEL_SYNC_REJECTED), ORVEL_SYNC_STORE_SHOWN);
  EXPECT_TRUE(s.shows("album", "kept"));
  EXPECT_EQ(report(s, other, ORVEL_SYNC_ACCEPTED), ORVEL_SYNC_STORE_UNCHANGED);
  int32_t change = 7;
  EXPECT_EQ(orvel_sync_report_outcome(s.j(), other, ORVEL_SYNC_ACCEPTED, &change), -1);
  EXPECT_EQ(reason(), "unknown operation");
  EXPECT_EQ(change, ORVEL_SYNC_STORE_UNCHANGED) << "a failed report changed nothing";
  EXPECT_EQ(orvel_sync_report_outcome(s.j(), other, ORVEL_SYNC_UNKNOWN + 1, nullptr), -1);
  EXPECT_EQ(reason(), "invalid argument");
  // A refused addition with a newer intent held leaves the store to that one.
  const int64_t again = s.set(true, "track", "t3");
  s.send();
  s.set(false, "track", "t3");
  EXPECT_EQ(report(s, again, ORVEL_SYNC_REJECTED), ORVEL_SYNC_STORE_UNCHANGED);
}

TEST(Outcomes, AnIntentThatUndoesAnUnsentOneCancelsIt) {
  Synced s;
  refresh(s, R"({"tracks":[{"itemId":"here","title":"H","artist":"A"}]})");
  EXPECT_GT(s.set(true, "track", "new", "N", ""), 0);
  EXPECT_EQ(s.set(false, "track", "new"), 0) << "wished then unwished before sending: nothing to send";
  EXPECT_FALSE(s.shows("track", "new"));
  EXPECT_GT(s.set(false, "track", "here"), 0);
  EXPECT_EQ(s.set(true, "track", "here", "H", "A"), 0);
  EXPECT_TRUE(s.shows("track", "here"));
  EXPECT_EQ(s.count(ORVEL_SYNC_HELD), 0);
  EXPECT_FALSE(s.next().first) << "and nothing to refuse";

  // Not once the request was handed out: it may have changed the service.
  const int64_t sent = s.set(true, "track", "new");
  EXPECT_EQ(s.send(), sent);
  report(s, sent, ORVEL_SYNC_FAILED);
  const int64_t removal = s.set(false, "track", "new");
  EXPECT_GT(removal, 0);
  // Nor while another operation of the entry is held.
  const int64_t flying = s.set(true, "album", "a");
  EXPECT_EQ(s.send(), removal);
  EXPECT_EQ(s.send(), flying);
  EXPECT_GT(s.set(false, "album", "a"), 0);
  EXPECT_GT(s.set(true, "album", "a"), 0);
  EXPECT_EQ(s.count(ORVEL_SYNC_HELD), 3);
}

TEST(Outcomes, ALateAdditionThatOverturnsANewerRemovalIsUndone) {
  Synced s;
  const int64_t add = s.set(true, "track", "t1", "T", "A");
  EXPECT_EQ(s.send(), add);
  EXPECT_EQ(report(s, add, ORVEL_SYNC_UNKNOWN), ORVEL_SYNC_STORE_UNCHANGED);
  EXPECT_EQ(status(s, "track", "t1").uncertain, 1u);
  EXPECT_EQ(s.count(ORVEL_SYNC_UNCERTAIN), 1);
  const int64_t removal = s.set(false, "track", "t1");  // replaces the unsent addition
  EXPECT_EQ(s.send(), removal);
  report(s, removal, ORVEL_SYNC_ACCEPTED);
  // The service removed it; nothing has landed yet; the removal is confirmed
  // but the entry stays in mind.
  EXPECT_EQ(refresh(s, "[]"), 0);
  orvel_sync_entry e = status(s, "track", "t1");
  EXPECT_EQ(e.state, ORVEL_SYNC_UNCERTAIN);
  EXPECT_EQ(e.wished, 0);
  EXPECT_EQ(s.count(ORVEL_SYNC_HELD), 0);
  // Then the first request lands: the list shows the entry again.
  EXPECT_EQ(refresh(s, R"({"tracks":[{"itemId":"t1","title":"T","artist":"A"}]})"), 0)
      << "the store shows the user's intent, not the late request's";
  e = status(s, "track", "t1");
  EXPECT_EQ(e.state, ORVEL_SYNC_UNSENT) << "the removal goes again";
  EXPECT_EQ(e.wished, 0);
  EXPECT_EQ(e.uncertain, 0u) << "the late request is explained";
  const auto [request, again] = s.next();
  ASSERT_TRUE(request);
  EXPECT_EQ(*request, *take(orvel_build_wish_request_json("https://s.example", 0, "track", "t1", "T", "A")));
  report(s, again, ORVEL_SYNC_ACCEPTED);
  refresh(s, "[]");
  EXPECT_EQ(s.count(ORVEL_SYNC_HELD), 0);
  EXPECT_EQ(s.count(ORVEL_SYNC_UNCERTAIN), 0);
  // Another writer adding it now is the service's truth again.
  EXPECT_EQ(refresh(s, R"({"tracks":["t1"]})"), 1);
}

TEST(Outcomes, ALateRemovalThatOverturnsANewerAdditionIsUndone) {
  for (const bool settled_first : {false, true}) {
    Synced s;
    refresh(s, R"({"albums":[{"itemId":"a1","title":"North","artist":"V"}]})");
    const int64_t removal = s.set(false, "album", "a1");
    s.send();
    report(s, removal, ORVEL_SYNC_UNKNOWN);
    const int64_t add = s.set(true, "album", "a1", "North", "V");
    s.send();
    report(s, add, ORVEL_SYNC_ACCEPTED);
    const std::string with_it = R"({"albums":[{"itemId":"a1","title":"North","artist":"V"}]})";
    if (settled_first) {
      EXPECT_EQ(refresh(s, with_it), 1);
      EXPECT_EQ(status(s, "album", "a1").state, ORVEL_SYNC_UNCERTAIN);
    }
    // The late removal lands: a list response without the entry, fetched
    // after the addition was accepted, must not confirm it away.
    EXPECT_EQ(refresh(s, R"({"albums":[{"itemId":"b","title":"B","artist":""}]})"), 2);
    EXPECT_TRUE(s.shows("album", "a1"));
    const orvel_sync_entry e = status(s, "album", "a1");
    EXPECT_EQ(e.state, ORVEL_SYNC_UNSENT) << settled_first;
    EXPECT_EQ(e.wished, 1);
    EXPECT_EQ(e.uncertain, 0u);
    EXPECT_EQ(s.store_text(),
              R"({"total":2,"items":[{"kind":"album","itemId":"b","title":"B","artist":""},)"
              R"({"kind":"album","itemId":"a1","title":"North","artist":"V"}]})");
  }
}

TEST(Outcomes, ALoadThatMustReadTheResponseTwiceStillFailsWhole) {
  // An addition awaiting confirmation while a removal of unknown outcome may
  // land: the response is read on its own first.
  Synced s;
  refresh(s, R"({"albums":["a1"]})");
  const int64_t removal = s.set(false, "album", "a1");
  s.send();
  report(s, removal, ORVEL_SYNC_UNKNOWN);
  const int64_t add = s.set(true, "album", "a1", "N", "V");
  s.send();
  report(s, add, ORVEL_SYNC_ACCEPTED);
  const int64_t token = orvel_sync_begin_refresh(s.j());
  const std::string before = s.snapshot();
  EXPECT_EQ(s.load(token, R"({"albums":["b")"), -1);
  EXPECT_EQ(reason(), "invalid json");
  EXPECT_EQ(s.snapshot(), before);
  EXPECT_EQ(s.load(token, R"({"albums":["b"]})"), 2);
}

TEST(Outcomes, AnIntentQueuedAgainNeedsAnId) {
  // A settled addition that a late removal overturned, in a journal whose ids
  // have run out: the load fails whole.
  const std::string saved =
      R"({"format":"orvel-journal","version":2,"nextId":9007199254740991,"lastToken":1,"loadedToken":1,)"
      R"("operations":[],"uncertain":[{"kind":"album","itemId":"a1","maybeAdd":0,"maybeRemove":1,)"
      R"("settled":{"op":"add","title":"N","artist":""}}]})";
  Synced s;
  ASSERT_EQ(orvel_sync_restore(s.j(), saved.data(), saved.size()), 0) << reason();
  const int64_t token = orvel_sync_begin_refresh(s.j());
  const std::string before = s.snapshot();
  EXPECT_EQ(s.load(token, "[]"), -1);
  EXPECT_EQ(reason(), "out of memory");
  EXPECT_EQ(s.snapshot(), before);
}

TEST(Outcomes, AResponseThatAgreesKeepsTheEntryInMindAndARefusalForgetsIt) {
  Synced s;
  const int64_t add = s.set(true, "track", "t1");
  s.send();
  report(s, add, ORVEL_SYNC_UNKNOWN);
  EXPECT_EQ(s.send(), add);
  report(s, add, ORVEL_SYNC_ACCEPTED);
  refresh(s, R"({"tracks":["t1"]})");
  EXPECT_EQ(status(s, "track", "t1").state, ORVEL_SYNC_UNCERTAIN) << "the first copy may land after a later change";
  EXPECT_EQ(status(s, "track", "t1").uncertain, 1u);
  const int64_t removal = s.set(false, "track", "t1");
  EXPECT_EQ(status(s, "track", "t1").uncertain, 1u);
  s.send();
  report(s, removal, ORVEL_SYNC_REJECTED);
  EXPECT_EQ(s.count(ORVEL_SYNC_UNCERTAIN), 0) << "what the service refuses, it refuses when a copy lands late";
  EXPECT_EQ(status(s, "track", "t1").state, ORVEL_SYNC_SYNCED);
}

}  // namespace
