package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import java.time.Duration;
import java.util.List;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

class ClientBasicsTest {
  @Test
  void aChangeIsSentAcceptedAndConfirmed(@TempDir Path dir) throws Exception {
    try (ServiceProcess service = new ServiceProcess();
        WishlistClient client = new WishlistClient(service.baseUrl, dir)) {
      Status s = client.setWished(Kind.ALBUM, "al-1", true, "Blue Hour", "Ines Varga");
      assertEquals(Status.State.PENDING, s.state());
      SyncSummary summary = client.syncNow(Duration.ofSeconds(30));
      System.out.println(summary);
      assertEquals(1, summary.accepted());
      assertTrue(summary.refreshed());
      assertEquals(Status.State.SYNCED, client.status(Kind.ALBUM, "al-1").state());
      assertEquals(List.of("album:al-1"), service.keys());
    }
  }
}
