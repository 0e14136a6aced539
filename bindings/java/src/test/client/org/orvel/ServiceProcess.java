// SPDX-License-Identifier: MIT
package org.orvel;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.regex.Pattern;

/**
 * The sample service (tests/service/orvel_service.py) as a process on 127.0.0.1 for one test,
 * bounded in time and requests; faults are ordered and its state read through /_control.
 */
final class ServiceProcess implements AutoCloseable {
  private static final HttpClient CONTROL = HttpClient.newHttpClient();
  private final Process process;
  final String baseUrl;

  ServiceProcess(String... options) throws IOException {
    List<String> command = new ArrayList<>(List.of(System.getProperty("orvel.test.python", "python3"),
        Path.of(System.getProperty("orvel.test.service")).toString(), "--quiet", "--empty", "--max-seconds", "150",
        "--max-requests", "100000"));
    command.addAll(List.of(options));
    process = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
    String first = new BufferedReader(new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))
        .readLine();
    if (first == null || !first.startsWith("http://127.0.0.1:")) {
      process.destroyForcibly();
      throw new IOException("the sample service did not start: " + first);
    }
    baseUrl = first.trim();
  }

  /** Posts an order to /_control and answers the state after it. */
  Map<String, Object> control(String order) throws IOException, InterruptedException {
    HttpRequest post = HttpRequest.newBuilder(URI.create(baseUrl + "/_control")).timeout(Duration.ofSeconds(30))
        .POST(HttpRequest.BodyPublishers.ofString(order)).build();
    HttpResponse<String> answer = CONTROL.send(post, HttpResponse.BodyHandlers.ofString());
    if (answer.statusCode() != 200) throw new IOException("control order refused: " + answer.body());
    return parse(answer.body());
  }

  Map<String, Object> state() throws IOException, InterruptedException {
    HttpRequest get = HttpRequest.newBuilder(URI.create(baseUrl + "/_control")).timeout(Duration.ofSeconds(30)).build();
    return parse(CONTROL.send(get, HttpResponse.BodyHandlers.ofString()).body());
  }

  /**
   * The state's JSON: a request's time in milliseconds, other fractional numbers (probabilities,
   * seconds) as their whole part.
   */
  private static Map<String, Object> parse(String text) {
    String times = Pattern.compile("\"time\": (\\d+)(?:\\.(\\d+))?").matcher(text).replaceAll(m -> "\"time\": "
        + (Long.parseLong(m.group(1)) * 1000 + (m.group(2) == null ? 0 : Long.parseLong((m.group(2) + "00").substring(0, 3)))));
    return Json.object(times.replaceAll("(?<=[:\\[,] ?)(-?\\d+)\\.\\d+(?:[eE][-+]?\\d+)?", "$1"));
  }

  @SuppressWarnings("unchecked")
  static List<Map<String, Object>> list(Map<String, Object> state, String name) {
    return (List<Map<String, Object>>) state.get(name);
  }

  /** Entries as the control endpoint takes them (texts without quotes or backslashes). */
  static String json(List<Map<String, Object>> entries) {
    return entries.stream().map(e -> e.entrySet().stream().map(m -> "\"" + m.getKey() + "\": \"" + m.getValue() + "\"")
        .collect(java.util.stream.Collectors.joining(", ", "{", "}"))).collect(java.util.stream.Collectors.joining(", ", "[", "]"));
  }

  /** The service's wishlist as "kind:itemId" keys. */
  List<String> keys() throws IOException, InterruptedException {
    return list(state(), "entries").stream().map(e -> e.get("kind") + ":" + e.get("itemId")).sorted().toList();
  }

  /** The requests the service saw for one item. */
  List<Map<String, Object>> requestsFor(String itemId) throws IOException, InterruptedException {
    return list(state(), "requests").stream().filter(r -> r.get("wish") != null
        && itemId.equals(Json.asObject(r.get("wish")).get("itemId"))).toList();
  }

  @Override
  public void close() {
    process.destroy();
    try {
      if (!process.waitFor(10, TimeUnit.SECONDS)) process.destroyForcibly();
    } catch (InterruptedException e) {
      process.destroyForcibly();
      Thread.currentThread().interrupt();
    }
  }
}
