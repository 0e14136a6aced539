// SPDX-License-Identifier: MIT
package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The README's client example (ReadmeTest checks it is this code) does what it says against the service. */
class ClientReadmeTest {
  @Test
  void theReadmesClientExampleRuns(@TempDir Path dir) throws Exception {
    try (ServiceProcess service = new ServiceProcess()) {
      ChildJvmResult run = ChildJvmResult.run(ClientQuickStart.class, service.baseUrl, dir.toString());
      assertEquals(0, run.status(), run.output());
      assertTrue(run.output().contains("al-1 is PENDING") || run.output().contains("al-1 is SENDING"), run.output());
      assertTrue(run.output().contains("al-1 is SYNCED"), run.output());
      assertEquals(java.util.List.of("album:al-1"), service.keys());
    }
  }
}
