package org.orvel;

import java.util.Objects;

/**
 * A journal's request to send, from {@link SyncedWishlist#nextRequest}: the operation's id to
 * report its outcome under, and the request itself, whose parts are also given here directly.
 */
public record PendingRequest(long opId, WishRequest request) {
  public PendingRequest {
    Objects.requireNonNull(request, "request");
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
