// SPDX-License-Identifier: MIT
package org.orvel;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;

/** A class's main run in a new JVM on the tests' class path: its exit status and output. */
record ChildJvm(int status, String output) {
  static ChildJvm run(Class<?> main, Map<String, String> environment, String... options)
      throws IOException, InterruptedException {
    List<String> command = new ArrayList<>();
    command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
    command.addAll(List.of(options));
    command.addAll(List.of("-cp", System.getProperty("orvel.test.classpath"), main.getName()));
    ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
    builder.environment().putAll(environment);
    Process p = builder.start();
    String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    return new ChildJvm(p.waitFor(), out);
  }

  /** True when a file whose name holds name is mapped into this process. */
  static boolean mapped(String name) throws IOException {
    return Files.readString(Path.of("/proc/self/maps")).contains(name);
  }

  static ChildJvm run(Class<?> main, String... options) throws IOException, InterruptedException {
    return run(main, Map.of(), options);
  }
}
