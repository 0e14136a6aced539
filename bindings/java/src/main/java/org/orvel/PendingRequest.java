// SPDX-License-Identifier: MIT
package org.orvel;

import java.util.Map;
import java.util.Objects;

/**
 * A journal's request to send, from {@link SyncedWishlist#nextRequest}: the operation's id to
 * report its outcome under, the request itself, whose parts are also given here directly, and
 * what it asks of the service: the (kind, itemId) entry wished (an addition) or not (a removal).
 */
public record PendingRequest(long opId, WishRequest request, Kind kind, String itemId, boolean wished) {
  public PendingRequest {
    Objects.requireNonNull(request, "request");
    Objects.requireNonNull(kind, "kind");
    Objects.requireNonNull(itemId, "itemId");
  }

  /** The request of operation opId, what it asks read from the body the library wrote. */
  public PendingRequest(long opId, WishRequest request) {
    this(opId, request, Body.of(request));
  }

  private PendingRequest(long opId, WishRequest request, Body body) {
    this(opId, request, body.kind, body.itemId, body.wished);
  }

  /** The members of a request's body that say what it asks. */
  private record Body(Kind kind, String itemId, boolean wished) {
    static Body of(WishRequest request) {
      Map<String, Object> body = Json.object(Objects.requireNonNull(request, "request").body());
      return new Body(Kind.of(Json.string(body, "kind")), Json.string(body, "itemId"),
          Json.string(body, "op").equals("add"));
    }
  }

  public String method() {
    return request.method();
  }

  public String url() {
    return request.url();
  }

  public String contentType() {
    return request.contentType();
  }

  public String body() {
    return request.body();
  }

  /** The library's envelope text, byte for byte. */
  public String json() {
    return request.json();
  }
}
