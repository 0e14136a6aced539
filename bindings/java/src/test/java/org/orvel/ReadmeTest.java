// SPDX-License-Identifier: MIT
package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The package README's examples are the code the tests run. */
class ReadmeTest {
  @ParameterizedTest
  @CsvSource({
      "## The wishlist client, src/test/client/org/orvel/ClientQuickStart.java",
      "## Your own loop over SyncedWishlist, src/test/java/org/orvel/example/WishSync.java"})
  void eachExampleIsTheTestedCode(String heading, String file) throws IOException {
    Path source = Path.of(System.getProperty("orvel.test.source"));
    String readme = Files.readString(source.resolve("README.md"));
    String section = readme.substring(readme.indexOf(heading));
    int start = section.indexOf("```java\n") + "```java\n".length();
    String block = section.substring(start, section.indexOf("```\n", start));
    String example = Files.readString(source.resolve(file));
    assertEquals(example.substring(example.indexOf("import ")), block);
  }
}
