// SPDX-License-Identifier: MIT
package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.reflect.Method;
import java.nio.charset.StandardCharsets;
import java.lang.reflect.Modifier;
import java.util.ArrayList;
import java.util.List;
import java.util.Optional;
import java.util.OptionalInt;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

class SyncedWishlistTest {
  private static final String BASE = "https://svc.example";

  static Stream<Arguments> outcomes() {
    return Stream.of(
        // wished, outcome, what it did to the store, entry shown, its state then, uncertain entries
        Arguments.of(true, Outcome.REJECTED, StoreChange.REMOVED, false, EntryState.SYNCED, 0),
        Arguments.of(false, Outcome.REJECTED, StoreChange.SHOWN, true, EntryState.SYNCED, 0),
        Arguments.of(true, Outcome.ACCEPTED, StoreChange.UNCHANGED, true, EntryState.CONFIRMING, 0),
        Arguments.of(true, Outcome.FAILED, StoreChange.UNCHANGED, true, EntryState.UNSENT, 0),
        Arguments.of(true, Outcome.UNKNOWN, StoreChange.UNCHANGED, true, EntryState.UNSENT, 1));
  }

  @ParameterizedTest
  @MethodSource("outcomes")
  void eachOutcomeSaysWhatItDidToTheStore(boolean wished, Outcome outcome, StoreChange change, boolean shown,
      EntryState state, int uncertain) {
    try (SyncedWishlist s = new SyncedWishlist()) {
      s.load(s.beginRefresh(), "{\"albums\":[{\"id\":\"a1\",\"title\":\"T\"}]}");
      String item = wished ? "a2" : "a1";
      s.setWished(Kind.ALBUM, item, wished, "T", "");
      long other = s.setWished(Kind.TRACK, "other", true);
      assertEquals(change, s.report(s.nextRequest().orElseThrow().opId(), outcome));
      assertEquals(List.of(shown, state, uncertain), List.of(s.has(Kind.ALBUM, item), s.status(Kind.ALBUM, item).state(),
          s.uncertain()));
      // A failed or unknown one goes behind the rest.
      if (state == EntryState.UNSENT) assertEquals(other, s.nextRequest().orElseThrow().opId());
    }
  }

  @Test
  void statusFollowsAnEntryThroughTheJournal() {
    try (SyncedWishlist s = new SyncedWishlist()) {
      List<EntryStatus> steps = new ArrayList<>();
      steps.add(s.status(Kind.ALBUM, "a2"));
      long op = s.setWished(Kind.ALBUM, "a2", true, "Two", "");
      steps.add(s.status(Kind.ALBUM, "a2"));
      s.report(s.nextRequest().orElseThrow().opId(), Outcome.UNKNOWN);
      steps.add(s.status(Kind.ALBUM, "a2"));
      s.nextRequest();
      steps.add(s.status("album", "a2"));
      s.report(op, Outcome.ACCEPTED);
      steps.add(s.status(Kind.ALBUM, "a2"));
      s.load(s.beginRefresh(), "{\"albums\":[\"a2\"]}");
      steps.add(s.status(Kind.ALBUM, "a2"));
      Optional<Boolean> yes = Optional.of(true);
      assertEquals(List.of(
          new EntryStatus(EntryState.SYNCED, Optional.empty(), 0, 0, 0),
          new EntryStatus(EntryState.UNSENT, yes, op, 0, 0),
          new EntryStatus(EntryState.UNSENT, yes, op, 1, 1),
          new EntryStatus(EntryState.IN_FLIGHT, yes, op, 2, 1),
          new EntryStatus(EntryState.CONFIRMING, yes, op, 2, 1),
          new EntryStatus(EntryState.UNCERTAIN, yes, 0, 0, 1)), steps);  // the unknown request may still land
      assertEquals(OrvelException.INVALID_KIND,
          assertThrows(OrvelException.class, () -> s.status("Album", "a2")).reason());
      assertEquals(OrvelException.EMPTY_ITEM_ID,
          assertThrows(OrvelException.class, () -> s.status(Kind.ALBUM, "")).reason());
    }
  }

  @Test
  void oneSnapshotCarriesTheStoreAndTheJournal() {
    String text;
    String store;
    long inFlight;
    try (SyncedWishlist s = new SyncedWishlist()) {
      s.setWished(Kind.ALBUM, "a2", true, "Two", "");
      inFlight = s.nextRequest().orElseThrow().opId();
      s.setWished(Kind.TRACK, "t1", true);
      text = s.snapshot();
      store = s.exportJson();
    }
    try (SyncedWishlist again = SyncedWishlist.openSnapshot(text.getBytes(StandardCharsets.UTF_8))) {
      assertEquals(store, again.exportJson());
      assertEquals(List.of(2, 2, 1), List.of(again.held(), again.unsent(), again.uncertain()));
      // In flight when saved: it may have landed, so it counts as unknown and goes behind the rest.
      assertEquals(List.of(inFlight + 1, inFlight), List.of(again.nextRequest().orElseThrow().opId(),
          again.nextRequest().orElseThrow().opId()));
    }
    String[][] damaged = {
        {text.substring(0, text.length() - 1), OrvelException.INVALID_JSON},
        {"", OrvelException.INVALID_JSON},
        {text.replace("\"orvel-snapshot\"", "\"other\""), OrvelException.INVALID_SNAPSHOT},
        {text.replace("\"store\":", "\"stock\":"), OrvelException.INVALID_SNAPSHOT},
        {text.replaceFirst("\"version\":1,", "\"version\":9,"), OrvelException.UNSUPPORTED_VERSION},
        {text.replace("\"orvel-journal\"", "\"other\""), OrvelException.INVALID_JOURNAL},
        {text + "\ud800", OrvelException.INVALID_JSON}};
    for (String[] d : damaged) {
      assertEquals(d[1], assertThrows(OrvelException.class, () -> SyncedWishlist.openSnapshot(d[0])).reason(), d[0]);
    }
    SyncedWishlist closed = new SyncedWishlist();
    closed.close();
    assertThrows(IllegalStateException.class, closed::snapshot);
  }

  @Test
  void aPendingRequestSaysWhatItAsks() {
    try (SyncedWishlist s = new SyncedWishlist()) {
      s.load(s.beginRefresh(), "{\"tracks\":[\"t1\"]}");
      s.setWished(Kind.TRACK, "t1", false);
      s.setWished("playlist", "p \"\u00e9\"", true);
      List<List<Object>> asked = new ArrayList<>();
      for (Optional<PendingRequest> r; (r = s.nextRequest()).isPresent(); ) {
        asked.add(List.of(r.get().kind(), r.get().itemId(), r.get().wished()));
      }
      assertEquals(List.of(List.of(Kind.TRACK, "t1", false), List.of(Kind.PLAYLIST, "p \"\u00e9\"", true)), asked);
    }
  }

  @Test
  void versionsAreTheJournalLibrarys() {
    assertEquals(System.getProperty("orvel.test.syncVersion"), SyncedWishlist.version());
    assertEquals(SyncedWishlist.ABI_VERSION, SyncedWishlist.abiVersion());
  }

  @Test
  void anIntentIsShownAtOnceAndSentAsTheLibrarysRequest() {
    try (SyncedWishlist s = new SyncedWishlist()) {
      assertEquals("SyncedWishlist[0 entries, 0 held]", s.toString());
      long id = s.setWished(Kind.ALBUM, "a1", true, "T\u00e9", "A");
      assertTrue(id > 0);
      assertEquals(0, s.setWished("album", "a1", true), "the store shows it already");
      assertTrue(s.has(Kind.ALBUM, "a1"));
      assertEquals(List.of(new Entry(Kind.ALBUM, "a1", "T\u00e9", "A")), s.export().items());
      assertEquals("SyncedWishlist[1 entry, 1 held]", s.toString());
      assertEquals(List.of(1, 1, 0, 0), counts(s));

      PendingRequest request = s.nextRequest(BASE).orElseThrow();
      assertEquals(id, request.opId());
      assertEquals(List.of(Kind.ALBUM, "a1", true), List.of(request.kind(), request.itemId(), request.wished()));
      WishRequest same = WishRequest.builder(true, Kind.ALBUM, "a1").title("T\u00e9").artist("A").baseUrl(BASE).build();
      assertEquals(same, request.request());
      assertEquals(List.of(same.method(), same.url(), same.contentType(), same.body(), same.json()),
          List.of(request.method(), request.url(), request.contentType(), request.body(), request.json()));
      assertEquals(Optional.empty(), s.nextRequest(BASE), "one request per entry at a time");
      assertEquals(List.of(1, 0, 1, 0), counts(s));

      s.report(id, Outcome.ACCEPTED);
      assertEquals(List.of(1, 0, 0, 1), counts(s));
      long token = s.beginRefresh();
      assertEquals(OptionalInt.of(1), s.load(token, "{\"albums\":[\"a1\"]}"));
      assertEquals(List.of(0, 0, 0, 0), counts(s));
    }
  }

  @Test
  void aRefusedAdditionIsTakenBackAndAFailedOneSentAgain() {
    try (SyncedWishlist s = new SyncedWishlist()) {
      long refused = s.setWished(Kind.TRACK, "t1", true);
      long failed = s.setWished(Kind.TRACK, "t2", true);
      assertEquals(refused, s.nextRequest().orElseThrow().opId());
      assertEquals(failed, s.nextRequest().orElseThrow().opId());
      s.report(refused, Outcome.REJECTED);
      s.report(failed, Outcome.FAILED);
      assertFalse(s.has(Kind.TRACK, "t1"));
      assertTrue(s.has(Kind.TRACK, "t2"));
      assertEquals(failed, s.nextRequest().orElseThrow().opId());
      OrvelException e = assertThrows(OrvelException.class, () -> s.report(refused, Outcome.ACCEPTED));
      assertEquals(OrvelException.UNKNOWN_OPERATION, e.reason());
    }
  }

  @Test
  void anOlderResponseThanOneLoadedIsIgnored() {
    try (SyncedWishlist s = new SyncedWishlist()) {
      long older = s.beginRefresh();
      long newer = s.beginRefresh();
      assertEquals(OptionalInt.of(2), s.load(newer, WishlistTest.utf8("{\"tracks\":[\"t1\",\"t2\"]}")));
      assertEquals(OptionalInt.empty(), s.load(older, "[]"));
      assertEquals(2, s.size());
      OrvelException e = assertThrows(OrvelException.class, () -> s.load(newer + 100, "[]"));
      assertEquals(OrvelException.UNKNOWN_TOKEN, e.reason());
    }
  }

  /** A call on a journal that holds one operation, with a refresh token taken. */
  interface Call {
    void run(SyncedWishlist s, long token);
  }

  static Stream<Arguments> refusals() {
    return Stream.of(
        Arguments.of("invalid kind", (Call) (s, token) -> s.setWished("Album", "a", true)),
        Arguments.of("empty item_id", (Call) (s, token) -> s.setWished(Kind.ALBUM, "", true)),
        // A lone surrogate crosses as bytes that are not UTF-8, for the journal to refuse.
        Arguments.of("invalid utf-8", (Call) (s, token) -> s.setWished(Kind.ALBUM, "a\ud800", true)),
        Arguments.of("invalid utf-8", (Call) (s, token) -> s.setWished(Kind.ALBUM, "a", true, null, "\udc00")),
        Arguments.of("invalid utf-8", (Call) (s, token) -> s.nextRequest("https://\ud800")),
        Arguments.of("invalid json", (Call) (s, token) -> s.load(token, "[\"\ud800\"]")),
        Arguments.of("invalid json", (Call) (s, token) -> s.load(token, new byte[0])),
        Arguments.of("unknown operation", (Call) (s, token) -> s.report(42, Outcome.FAILED)));
  }

  /** Each failure carries the journal's reason and changes nothing. */
  @ParameterizedTest
  @MethodSource("refusals")
  void failuresCarryTheJournalsReasonAndChangeNothing(String reason, Call call) {
    try (SyncedWishlist s = new SyncedWishlist()) {
      s.setWished(Kind.TRACK, "t", true, "T", "");
      long token = s.beginRefresh();
      String journal = s.save();
      String store = s.exportJson();
      OrvelException e = assertThrows(OrvelException.class, () -> call.run(s, token));
      assertEquals(reason, e.reason());
      assertTrue(e.getMessage().endsWith(": " + reason), e.getMessage());
      assertEquals(journal, s.save());
      assertEquals(store, s.exportJson());
    }
  }

  @Test
  void nulsAndNullsAreJavaErrors() {
    try (SyncedWishlist s = new SyncedWishlist()) {
      assertThrows(IllegalArgumentException.class, () -> s.setWished(Kind.TRACK, "a\0b", true));
      assertThrows(NullPointerException.class, () -> s.setWished((Kind) null, "a", true));
      assertThrows(NullPointerException.class, () -> s.setWished(Kind.TRACK, null, true));
      assertThrows(NullPointerException.class, () -> s.report(1, null));
      assertThrows(NullPointerException.class, () -> s.load(1, (String) null));
      assertThrows(NullPointerException.class, () -> SyncedWishlist.restore(null));
    }
  }

  @Test
  void saveAndRestoreCarryTheJournalAcrossARestart() {
    String journal;
    String store;
    long sent;
    try (SyncedWishlist s = new SyncedWishlist()) {
      s.load(s.beginRefresh(), "{\"tracks\":[\"t1\",\"t2\"]}");
      s.setWished(Kind.TRACK, "t1", false);
      sent = s.setWished(Kind.ALBUM, "a1", true, "\ud83c\udfb5", "");
      s.nextRequest();  // t1's removal, in flight when the app stops
      journal = s.save();
      store = s.exportJson();
    }
    try (SyncedWishlist s = SyncedWishlist.restore(journal, store)) {
      assertEquals(List.of(2, 2, 0, 0), counts(s), "in flight comes back unsent");
      assertEquals(List.of(new Entry(Kind.TRACK, "t2", "", ""), new Entry(Kind.ALBUM, "a1", "\ud83c\udfb5", "")),
          s.export().items());
      assertTrue(s.setWished(Kind.PLAYLIST, "p", true) > sent, "ids continue from the saved ones");
    }
    try (SyncedWishlist s = SyncedWishlist.restore(journal)) {
      assertEquals(List.of(new Entry(Kind.ALBUM, "a1", "\ud83c\udfb5", "")), s.export().items());
    }
  }

  @Test
  void restoreRefusesWhatTheJournalDidNotWrite() {
    String good;
    try (SyncedWishlist s = new SyncedWishlist()) {
      good = s.save();
    }
    String[][] cases = {
        {"{", null, "invalid json"},
        {"{}", null, "invalid journal"},
        {good.replaceFirst("\"version\":\\d+", "\"version\":99"), null, "unsupported version"},
        {good, "[1,", "invalid json"},
        {good + "\ud800", null, "invalid json"}};
    for (String[] c : cases) {
      OrvelException e = assertThrows(OrvelException.class, () -> SyncedWishlist.restore(c[0], c[1]));
      assertEquals(c[2], e.reason(), c[0]);
    }
  }

  /** Changes go only through the journal: no toggle, and no load without a refresh token. */
  @Test
  void theStoreCannotBeChangedBehindTheJournalsBack() {
    for (Method m : SyncedWishlist.class.getMethods()) {
      if (!Modifier.isPublic(m.getModifiers())) continue;
      assertFalse(m.getName().equals("toggle"), m.toString());
      assertFalse(m.getName().equals("load") && m.getParameterCount() != 2, m.toString());
    }
  }

  @Test
  void aClosedSyncedWishlistThrows() {
    SyncedWishlist s = new SyncedWishlist();
    s.close();
    s.close();
    assertTrue(s.isClosed());
    assertEquals("SyncedWishlist[closed]", s.toString());
    List<Runnable> calls = List.of(s::size, s::save, s::held, s::beginRefresh, () -> s.nextRequest(),
        () -> s.setWished(Kind.TRACK, "t", true), () -> s.report(1, Outcome.ACCEPTED), () -> s.load(1, "[]"),
        () -> s.has(Kind.TRACK, "t"), s::exportJson);
    for (Runnable call : calls) assertThrows(IllegalStateException.class, call::run);
  }

  @Test
  void separateJournalsOnManyThreads() throws Exception {
    ExecutorService pool = Executors.newFixedThreadPool(8);
    try {
      List<Future<Integer>> results = new ArrayList<>();
      for (int n = 0; n < 16; n++) {
        results.add(pool.submit(() -> {
          try (SyncedWishlist s = new SyncedWishlist()) {
            for (int i = 0; i < 300; i++) s.setWished(Kind.TRACK, "t" + i, true);
            Optional<PendingRequest> r;
            while ((r = s.nextRequest()).isPresent()) s.report(r.get().opId(), Outcome.ACCEPTED);
            s.load(s.beginRefresh(), s.exportJson());
            return s.held() + s.size();
          }
        }));
      }
      for (Future<Integer> r : results) assertEquals(300, r.get());
    } finally {
      pool.shutdown();
    }
  }

  @Test
  void aForgottenSyncedWishlistIsReleasedByTheCleaner() throws Exception {
    String title = "x".repeat(100);
    long grown = WishlistTest.growthOver(50_000, () -> new SyncedWishlist().setWished(Kind.ALBUM, "a", true, title, title));
    // A store, a journal and an operation each: some hundred megabytes if they were never released.
    assertTrue(grown < 40 << 20, "resident memory grew by " + grown + " bytes");
  }

  private static List<Integer> counts(SyncedWishlist s) {
    return List.of(s.held(), s.unsent(), s.inFlight(), s.confirming());
  }
}
