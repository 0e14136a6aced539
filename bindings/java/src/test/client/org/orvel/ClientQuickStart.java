// SPDX-License-Identifier: MIT
package org.orvel;

import java.nio.file.Path;
import java.time.Duration;
import java.util.Map;
import org.orvel.ClientOptions;
import org.orvel.Kind;
import org.orvel.SyncSummary;
import org.orvel.WishlistClient;

/** An app's wishlist, kept in step with the service and across restarts by the client. */
public final class ClientQuickStart {
  public static void main(String[] args) throws Exception {
    String baseUrl = args[0];          // https://wishlist.example.com
    Path stateDir = Path.of(args[1]);  // the app's own folder: the snapshot, its lock
    ClientOptions options = ClientOptions.defaults()
        .withHeaders(() -> Map.of("Authorization", "Bearer " + currentToken()));  // asked before each request
    try (WishlistClient wishes = new WishlistClient(baseUrl, stateDir, options)) {
      wishes.onRejected(r -> System.out.println("the service refused " + r.kind().text() + " " + r.itemId()));
      wishes.onChange(() -> System.out.println("the list changed"));  // redraw the screen
      wishes.start();  // sends, retries and refreshes in the background

      wishes.setWished(Kind.ALBUM, "al-1", true, "Blue Hour", "Ines Varga");  // shown and saved at once
      System.out.println("al-1 is " + wishes.status(Kind.ALBUM, "al-1").state());

      SyncSummary pass = wishes.syncNow(Duration.ofSeconds(30));  // or leave it to the background
      System.out.println(pass.accepted() + " accepted; al-1 is " + wishes.status(Kind.ALBUM, "al-1").state());
    }
  }

  private static String currentToken() {
    return "a-token-that-changes";
  }
}
