package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The README's client example is this tested code, and does what it says against the service. */
class ClientReadmeTest {
  @Test
  void theReadmesClientExampleIsTheCodeRunHere(@TempDir Path dir) throws Exception {
    Path source = Path.of(System.getProperty("orvel.test.source"));
    String readme = Files.readString(source.resolve("README.md"));
    String section = readme.substring(readme.indexOf("## The wishlist client"));
    int start = section.indexOf("```java\n") + "```java\n".length();
    String block = section.substring(start, section.indexOf("```\n", start));
    String example = Files.readString(source.resolve("src/test/client/org/orvel/ClientQuickStart.java"));
    assertEquals(example.substring(example.indexOf("import ")), block);

    try (ServiceProcess service = new ServiceProcess()) {
      ChildJvmResult run = ChildJvmResult.run(ClientQuickStart.class, service.baseUrl, dir.toString());
      assertEquals(0, run.status(), run.output());
      assertTrue(run.output().contains("al-1 is PENDING") || run.output().contains("al-1 is SENDING"), run.output());
      assertTrue(run.output().contains("al-1 is SYNCED"), run.output());
      assertEquals(java.util.List.of("album:al-1"), service.keys());
    }
  }
}
