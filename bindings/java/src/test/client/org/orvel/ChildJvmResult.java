// SPDX-License-Identifier: MIT
package org.orvel;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

/** A class's main run in a new JVM on the client tests' class path: its exit status and output. */
record ChildJvmResult(int status, String output) {
  static List<String> command(Class<?> main, String... args) {
    List<String> command = new ArrayList<>(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
        "-XX:TieredStopAtLevel=1", "-XX:+UseSerialGC", "-Xshare:auto",
        "-Dorvel.library.path=" + System.getProperty("orvel.library.path"),
        "-cp", System.getProperty("orvel.test.classpath"), main.getName()));
    command.addAll(List.of(args));
    return command;
  }

  static ChildJvmResult run(Class<?> main, String... args) throws IOException, InterruptedException {
    Process p = new ProcessBuilder(command(main, args)).redirectErrorStream(true).start();
    String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    return new ChildJvmResult(p.waitFor(), out);
  }
}
