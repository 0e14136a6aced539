// SPDX-License-Identifier: MIT
package org.orvel;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Optional;
import java.util.OptionalInt;

/**
 * The journal's cross-language scenario through SyncedWishlist (see tests/scenario/run.sh and
 * journal.c). The C program prints the library's results; this one prints what the same steps
 * give through the binding, in the same words: a failure's -1 is the exception, a stale load's
 * result the empty OptionalInt.
 */
public final class JournalScenario {
  private static final String BASE = "https://api.example.test//";
  private static final String NEW_TITLE = "Neu \u00fc \ud83c\udfa7";
  private static final String ARTIST = "He said \"hi\"\n";

  private JournalScenario() {}

  private static void out(String line) {
    Scenario.out(line);
  }

  private static void counts(SyncedWishlist s) {
    out("counts: held " + s.held() + " unsent " + s.unsent() + " in-flight " + s.inFlight() + " confirming "
        + s.confirming());
  }

  private static long send(SyncedWishlist s) {
    Optional<PendingRequest> request = s.nextRequest(BASE);
    out(request.map(r -> "send: " + r.opId() + " " + r.json()).orElse("send: none"));
    return request.map(PendingRequest::opId).orElse(0L);
  }

  private static String report(SyncedWishlist s, long op, Outcome outcome) {
    try {
      s.report(op, outcome);
      return "0";
    } catch (OrvelException e) {
      return "-1 error=" + e.reason();
    }
  }

  private static void reportOutcome(SyncedWishlist s, long op, Outcome outcome) {
    out("report: 0 store " + s.report(op, outcome).code());
  }

  /** An entry's status as the C scenario prints it: the call's result, then every member. */
  private static void status(SyncedWishlist s, String kind, String itemId) {
    EntryStatus e;
    try {
      e = s.status(kind, itemId);
    } catch (OrvelException failed) {
      out("status: -1 error=" + failed.reason());
      return;
    }
    out("status: " + (e.state() == EntryState.SYNCED ? 0 : 1) + " state " + e.state().code() + " wished "
        + e.wished().map(w -> w ? 1 : 0).orElse(-1) + " op " + e.opId() + " attempts " + e.attempts()
        + " uncertain " + e.uncertain());
  }

  private static String set(SyncedWishlist s, boolean wished, String kind, String id, String title, String artist) {
    try {
      return Long.toString(s.setWished(kind, id, wished, title, artist));
    } catch (OrvelException e) {
      return "-1 error=" + e.reason();
    }
  }

  private static String load(SyncedWishlist s, long token, byte[] response) {
    OptionalInt n = s.load(token, response);
    return n.isPresent() ? Integer.toString(n.getAsInt())
        : SyncNative.STALE + " error=" + OrvelException.STALE_RESPONSE;
  }

  public static void main(String[] args) throws IOException {
    byte[] response = Files.readAllBytes(Path.of(args[0]));
    String journalText;
    String storeText;
    String snapshot;
    try (SyncedWishlist s = new SyncedWishlist()) {
      out("version: " + SyncedWishlist.version() + " abi " + SyncedWishlist.abiVersion());
      long first = s.beginRefresh();
      out("refresh: " + first + " load " + load(s, first, response));
      out("set: " + set(s, true, "album", "al-new", NEW_TITLE, ARTIST));
      out("set: " + set(s, false, "track", "tr-3", null, null));
      out("set: " + set(s, false, "track", "tr-none", null, null));
      out("set: " + set(s, true, "playlist", "pl-9", "P", ""));
      out("set: " + set(s, false, "album", "al-1", "Caf\u00e9", ""));
      counts(s);
      long a = send(s);
      long b = send(s);
      long c = send(s);
      out("report: " + report(s, a, Outcome.ACCEPTED));
      out("report: " + report(s, b, Outcome.REJECTED) + " has " + (s.has(Kind.TRACK, "tr-3") ? 1 : 0));
      out("report: " + report(s, c, Outcome.FAILED));
      out("report-again: " + report(s, c, Outcome.FAILED));
      counts(s);
      long older = s.beginRefresh();
      long newer = s.beginRefresh();
      out("refresh: " + newer + " load " + load(s, newer, response));
      out("refresh: " + older + " load " + load(s, older, "[]".getBytes(java.nio.charset.StandardCharsets.UTF_8)));
      counts(s);
      journalText = s.save();
      storeText = s.exportJson();
      out("saved-journal: " + journalText);
      out("saved-store: " + storeText);
    }

    // A restart: made anew from what was saved.
    try (SyncedWishlist s = SyncedWishlist.restore(journalText, storeText)) {
      out("restart: store " + s.size() + " journal " + s.held());
      counts(s);
      out("bad-kind: " + set(s, true, "Album", "x", null, null));
      out("bad-utf8: " + set(s, true, "album", "x", "\udcff", null));
      long d = send(s);
      long e = send(s);
      out("report: " + report(s, d, Outcome.ACCEPTED) + " " + report(s, e, Outcome.ACCEPTED));
      send(s);
      long last = s.beginRefresh();
      out("refresh: " + last + " load " + load(s, last, response));
      counts(s);
      out("journal: " + s.save());
      out("store: " + s.exportJson());

      // Since 1.1: what a report did to the store, an unknown outcome, an entry's status, and
      // one snapshot.
      out("set: " + set(s, true, "artist", "ar-new", "", "Nova"));
      out("set: " + set(s, false, "artist", "ar-1", "", "Velvetine"));
      reportOutcome(s, send(s), Outcome.UNKNOWN);
      status(s, "artist", "ar-new");
      out("uncertain: " + s.uncertain());
      reportOutcome(s, send(s), Outcome.REJECTED);
      reportOutcome(s, send(s), Outcome.REJECTED);
      status(s, "artist", "ar-new");
      status(s, "artist", "ar-1");
      status(s, "Artist", "ar-1");
      out("set: " + set(s, true, "track", "tr-snap", "S", ""));
      send(s);
      snapshot = s.snapshot();
      out("snapshot: " + snapshot);
    }

    // A restart from the snapshot alone.
    try (SyncedWishlist s = SyncedWishlist.openSnapshot(snapshot)) {
      out("reopened: store " + s.size());
      counts(s);
      out("uncertain: " + s.uncertain());
      status(s, "track", "tr-snap");
      try {
        SyncedWishlist.openSnapshot("{\"format\":\"other\"}").close();
        out("reopen-bad: 0");
      } catch (OrvelException e) {
        out("reopen-bad: -1 error=" + e.reason());
      }
    }
    Scenario.flush();
  }
}
