// SPDX-License-Identifier: MIT
package org.orvel;

import java.util.Map;
import java.util.Objects;

/**
 * The POST that adds or removes one wish, as the library describes it: the method, the URL, the
 * content type and the body to send, and {@link #json()}, the library's envelope text byte for
 * byte. Made by {@link Orvel#buildWishRequest(boolean, Kind, String)} or, with a base URL,
 * {@code WishRequest.builder(add, kind, itemId).title(t).artist(a).baseUrl(url).build()}.
 */
public record WishRequest(String method, String url, String contentType, String body, String json) {
  public WishRequest {
    Objects.requireNonNull(method, "method");
    Objects.requireNonNull(url, "url");
    Objects.requireNonNull(contentType, "contentType");
    Objects.requireNonNull(body, "body");
    Objects.requireNonNull(json, "json");
  }

  /** A builder of the request that adds ({@code add} true) or removes the (kind, itemId) wish. */
  public static Builder builder(boolean add, Kind kind, String itemId) {
    return new Builder(add, kind, itemId);
  }

  /** The library's envelope text, parsed. */
  static WishRequest parse(String json) {
    Map<String, Object> envelope = Json.object(json);
    return new WishRequest(Json.string(envelope, "method"), Json.string(envelope, "url"),
        Json.string(envelope, "contentType"), Json.string(envelope, "body"), json);
  }

  /** The optional parts of a request: title and artist (sent as "" when absent) and base URL. */
  public static final class Builder {
    private final boolean add;
    private final Kind kind;
    private final String itemId;
    private String title;
    private String artist;
    private String baseUrl;

    private Builder(boolean add, Kind kind, String itemId) {
      this.add = add;
      this.kind = Objects.requireNonNull(kind, "kind must not be null");
      this.itemId = Objects.requireNonNull(itemId, "itemId must not be null");
    }

    /** The title to send; null for none. */
    public Builder title(String title) {
      this.title = title;
      return this;
    }

    /** The artist to send; null for none. */
    public Builder artist(String artist) {
      this.artist = artist;
      return this;
    }

    /** The service's base URL; null or "" selects the library's built-in default. */
    public Builder baseUrl(String baseUrl) {
      this.baseUrl = baseUrl;
      return this;
    }

    /**
     * The request. Throws OrvelException with reason "empty item_id" for an empty item id,
     * IllegalArgumentException for a text with a NUL or a lone surrogate.
     */
    public WishRequest build() {
      return Orvel.wishRequest(add, kind, itemId, title, artist, baseUrl);
    }
  }
}
