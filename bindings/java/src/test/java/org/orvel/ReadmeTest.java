package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.Test;

/** The package README's worked example is the code the tests run. */
class ReadmeTest {
  @Test
  void theWorkedExampleIsTheTestedCode() throws Exception {
    Path source = Path.of(System.getProperty("orvel.test.source"));
    String readme = Files.readString(source.resolve("README.md"));
    String section = readme.substring(readme.indexOf("## Your own loop over SyncedWishlist"));
    int start = section.indexOf("```java\n") + "```java\n".length();
    String block = section.substring(start, section.indexOf("```\n", start));
    String example = Files.readString(source.resolve("src/test/java/org/orvel/example/WishSync.java"));
    assertEquals(example.substring(example.indexOf("import ")), block);
  }
}
