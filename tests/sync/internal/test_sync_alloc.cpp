// SPDX-License-Identifier: MIT
// Every allocation of every journal function failed in turn: each call ends
// complete, or fails with "out of memory" (or the core's "invalid json") and
// leaves the journal and the store exactly as they were, consistent, with
// nothing leaked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "failalloc/failalloc.h"
#include "journal_check.h"
#include "orvel.h"
#include "orvel_sync.h"

namespace {

std::string take(char *text) {
  std::string copy = text != nullptr ? std::string(text) : std::string("<absent>");
  std::free(text);
  return copy;
}

// A store and journal made outside the armed window.
struct World {
  orvel_store *store = orvel_create();
  orvel_journal *journal = orvel_sync_create(store);
  ~World() {
    orvel_sync_destroy(journal);
    orvel_destroy(store);
  }
  std::string state() const { return take(orvel_export_json(store)) + take(orvel_sync_export(journal)); }
};

using Prepare = std::function<void(World &)>;
// The call under test; true when it succeeded.
using Call = std::function<bool(World &)>;

// Runs the call with the 1st, 2nd, ... allocation failing until it runs
// without a failure injected.
void sweep(const char *what, const Prepare &setup, const Call &call) {
  for (std::uint64_t n = 1; n < 10000; ++n) {
    const std::int64_t live = failalloc::live_blocks();
    bool fired = false;
    {
      World w;
      setup(w);
      const std::string before = w.state();
      failalloc::arm(n);
      const bool ok = call(w);
      fired = failalloc::fired();
      failalloc::disarm();
      ASSERT_TRUE(orvel_sync::consistent(w.journal)) << what << ", allocation " << n;
      if (!ok) {
        const std::string why = orvel_sync_last_error();
        EXPECT_TRUE(why == "out of memory" || why == "invalid json") << what << ": " << why;
        EXPECT_EQ(w.state(), before) << what << ", allocation " << n << " failed";
      }
      EXPECT_TRUE(ok || fired) << what << " failed with no allocation failed";
    }
    EXPECT_EQ(failalloc::live_blocks(), live) << what << ": blocks leaked with allocation " << n << " failed";
    if (::testing::Test::HasFailure() || !fired) {
      std::printf("[ sweep    ] %-36s %llu allocation sites\n", what, static_cast<unsigned long long>(n - 1));
      return;
    }
  }
  ADD_FAILURE() << what << ": the sweep did not end";
}

void some_history(World &w) {
  orvel_load_mine_json(w.store, R"({"albums":[{"itemId":"a0","title":"Zero"}],"tracks":["gone"]})", 0);
  orvel_sync_set(w.journal, 1, "track", "t1", "One", "A");
  int64_t op = 0;
  orvel_free(orvel_sync_next_request(w.journal, nullptr, &op));
  orvel_sync_report(w.journal, op, ORVEL_SYNC_ACCEPTED);
  orvel_sync_set(w.journal, 0, "album", "a0", "Zero", "");
  orvel_sync_set(w.journal, 1, "playlist", "p1", "P", "");
  orvel_free(orvel_sync_next_request(w.journal, nullptr, &op));
  orvel_sync_set(w.journal, 0, "track", "gone", nullptr, nullptr);  // texts unknown
}

TEST(SyncAllocFailures, EveryFunctionFailsCleanly) {
  const Prepare none = [](World &) {};
  sweep("create", none, [](World &w) {
    orvel_journal *j = orvel_sync_create(w.store);
    orvel_sync_destroy(j);
    return j != nullptr;
  });
  sweep("set: a new entry", some_history, [](World &w) {
    return orvel_sync_set(w.journal, 1, "artist", "r1", "R", "A") > 0;
  });
  sweep("set: replacing an unsent one", [](World &w) {
    some_history(w);
    orvel_sync_set(w.journal, 1, "album", "a0", "Zero", "");  // behind the removal in flight
  }, [](World &w) { return orvel_sync_set(w.journal, 0, "album", "a0", nullptr, nullptr) > 0; });
  sweep("set: cancelling an unsent removal", some_history,
        [](World &w) { return orvel_sync_set(w.journal, 1, "track", "gone", "G", "") == 0; });
  sweep("set: the one that grows every index", [](World &w) {
    for (int i = 0; i < 16; ++i) {
      const std::string id = "t" + std::to_string(i);
      orvel_sync_set(w.journal, 1, "track", id.c_str(), "T", "A");
    }
  }, [](World &w) { return orvel_sync_set(w.journal, 1, "track", "t16", "T", "A") > 0; });
  sweep("next_request", some_history, [](World &w) {
    int64_t op = 0;
    char *r = orvel_sync_next_request(w.journal, "https://s.example", &op);
    orvel_sync_free(r);
    return r != nullptr;
  });
  sweep("report: a refused removal shown again", some_history,
        [](World &w) { return orvel_sync_report(w.journal, 2, ORVEL_SYNC_REJECTED) == 0; });
  sweep("load: additions shown again", [](World &w) {
    some_history(w);
    orvel_sync_begin_refresh(w.journal);
  }, [](World &w) { return orvel_sync_load(w.journal, 1, R"({"tracks":["t0"],"albums":["a0"]})", 0) == 2; });  // t0 and p1
  sweep("load: removals only", [](World &w) {
    orvel_sync_set(w.journal, 0, "album", "a0", nullptr, nullptr);
    orvel_load_mine_json(w.store, "[]", 0);
    orvel_sync_begin_refresh(w.journal);
  }, [](World &w) { return orvel_sync_load(w.journal, 1, R"({"albums":["a0","a1"]})", 0) >= 0; });
  sweep("export", some_history, [](World &w) {
    char *text = orvel_sync_export(w.journal);
    orvel_sync_free(text);
    return text != nullptr;
  });
  sweep("restore", none, [](World &w) {
    const char *saved =
        R"({"format":"orvel-journal","version":1,"nextId":9,"lastToken":2,"loadedToken":1,"operations":[)"
        R"({"id":2,"state":"confirming","op":"add","kind":"track","itemId":"t1","title":"One","artist":"A","acceptedAfter":1},)"
        R"({"id":4,"state":"inFlight","op":"remove","kind":"track","itemId":"t1","title":null,"artist":null},)"
        R"({"id":5,"state":"unsent","op":"add","kind":"track","itemId":"t1","title":"One","artist":"B"},)"
        R"({"id":6,"state":"unsent","op":"add","kind":"album","itemId":"a1","title":"","artist":""},)"
        R"({"id":8,"state":"unsent","op":"add","kind":"album","itemId":"a2","title":"","artist":""}]})";
    return orvel_sync_restore(w.journal, saved, 0) == 4;
  });
}

// A history with requests of unknown outcome: an entry kept in mind after
// its confirmation (settled), and one whose confirmed intent a late request
// overturns in the next response.
void uncertain_history(World &w) {
  some_history(w);
  int64_t op = 0;
  orvel_free(orvel_sync_next_request(w.journal, nullptr, &op));  // playlist p1
  orvel_sync_report(w.journal, op, ORVEL_SYNC_UNKNOWN);
  orvel_free(orvel_sync_next_request(w.journal, nullptr, &op));
  orvel_sync_report(w.journal, op, ORVEL_SYNC_ACCEPTED);
  orvel_sync_report(w.journal, 2, ORVEL_SYNC_UNKNOWN);  // the album's removal
  orvel_sync_load(w.journal, orvel_sync_begin_refresh(w.journal), R"({"tracks":["t1"],"playlists":["p1"]})", 0);
  orvel_sync_begin_refresh(w.journal);
}

TEST(SyncAllocFailures, EveryNewerFunctionFailsCleanly) {
  sweep("report_outcome: a refused removal shown again", some_history, [](World &w) {
    int32_t change = -1;
    return orvel_sync_report_outcome(w.journal, 2, ORVEL_SYNC_REJECTED, &change) == 0 &&
           change == ORVEL_SYNC_STORE_SHOWN;
  });
  sweep("report_outcome: unknown", some_history,
        [](World &w) { return orvel_sync_report_outcome(w.journal, 2, ORVEL_SYNC_UNKNOWN, nullptr) == 0; });
  sweep("load: a late removal undone", uncertain_history, [](World &w) {
    // p1 (settled) is missing: its late removal... is not among the
    // requests; a0's removal may have landed, and t1 is confirmed.
    return orvel_sync_load(w.journal, 2, R"({"tracks":["t1"],"albums":["a0"]})", 0) >= 0;
  });
  sweep("load: a settled addition shown again", [](World &w) {
    uncertain_history(w);
    int64_t op = 0;
    orvel_sync_set(w.journal, 0, "playlist", "p1", nullptr, nullptr);
    orvel_free(orvel_sync_next_request(w.journal, nullptr, &op));
    orvel_sync_report(w.journal, op, ORVEL_SYNC_UNKNOWN);
    orvel_sync_set(w.journal, 1, "playlist", "p1", "P", "");
    orvel_free(orvel_sync_next_request(w.journal, nullptr, &op));
    orvel_sync_report(w.journal, op, ORVEL_SYNC_ACCEPTED);
    orvel_sync_load(w.journal, orvel_sync_begin_refresh(w.journal), R"({"playlists":["p1"]})", 0);
    orvel_sync_begin_refresh(w.journal);
  }, [](World &w) { return orvel_sync_load(w.journal, 4, R"({"tracks":["t1"]})", 0) >= 0; });
  // An addition accepted while its entry's removal of unknown outcome may
  // land; the next response lacks the entry (it landed): shown and queued
  // again, from its confirming operation or from its settled intent.
  for (const bool settled : {false, true}) {
    sweep(settled ? "load: a settled addition overturned" : "load: a confirming addition overturned",
          [settled](World &w) {
      orvel_load_mine_json(w.store, R"({"albums":["a1"]})", 0);
      int64_t op = 0;
      orvel_sync_set(w.journal, 0, "album", "a1", nullptr, nullptr);
      orvel_free(orvel_sync_next_request(w.journal, nullptr, &op));
      orvel_sync_report(w.journal, op, ORVEL_SYNC_UNKNOWN);
      orvel_sync_set(w.journal, 1, "album", "a1", "N", "V");
      orvel_free(orvel_sync_next_request(w.journal, nullptr, &op));
      orvel_sync_report(w.journal, op, ORVEL_SYNC_ACCEPTED);
      if (settled) orvel_sync_load(w.journal, orvel_sync_begin_refresh(w.journal), R"({"albums":["a1"]})", 0);
      orvel_sync_begin_refresh(w.journal);
    }, [settled](World &w) {
      return orvel_sync_load(w.journal, settled ? 2 : 1, R"({"tracks":["t"]})", 0) == 2;  // a1 shown again
    });
  }
  // Control characters take six bytes each: the text outgrows its first block.
  sweep("export: texts that grow the block", [](World &w) {
    const std::string controls(3000, '\x01');
    orvel_sync_set(w.journal, 1, "track", "t", controls.c_str(), controls.c_str());
  }, [](World &w) {
    char *text = orvel_sync_export(w.journal);
    const bool whole = text != nullptr && std::strlen(text) > 36000;
    orvel_sync_free(text);
    return whole;
  });
  sweep("snapshot", uncertain_history, [](World &w) {
    char *text = orvel_sync_snapshot(w.journal);
    orvel_sync_free(text);
    return text != nullptr;
  });
  // The text is made outside the sweep, whose every run checks for leaks.
  static std::string saved;
  {
    World w;
    uncertain_history(w);
    saved = take(orvel_sync_snapshot(w.journal));
  }
  sweep("open_snapshot", [](World &) {}, [](World &) {
    orvel_store *store = nullptr;
    orvel_journal *j = orvel_sync_open_snapshot(saved.data(), saved.size(), &store);
    const bool ok = j != nullptr && store != nullptr;
    EXPECT_TRUE(j != nullptr || store == nullptr);
    orvel_sync_destroy(j);
    orvel_destroy(store);
    return ok;
  });
  sweep("restore: uncertain entries", [](World &) {}, [](World &w) {
    const char *saved =
        R"({"format":"orvel-journal","version":2,"nextId":9,"lastToken":2,"loadedToken":1,"operations":[)"
        R"({"id":4,"state":"inFlight","op":"remove","kind":"track","itemId":"t1","title":null,"artist":null,"attempts":2},)"
        R"({"id":6,"state":"unsent","op":"add","kind":"album","itemId":"a1","title":"","artist":"","attempts":1}],)"
        R"("uncertain":[{"kind":"track","itemId":"t2","maybeAdd":1,"maybeRemove":0,"settled":{"op":"add","title":"T","artist":""}},)"
        R"({"kind":"track","itemId":"t1","maybeAdd":2,"maybeRemove":0,"settled":null}]})";
    return orvel_sync_restore(w.journal, saved, 0) == 2;
  });
}

}  // namespace
