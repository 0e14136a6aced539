package org.orvel;

/** A liborvel call failed. {@link #reason()} is the library's own error text, or "". */
public class OrvelException extends RuntimeException {
  private static final long serialVersionUID = 1L;

  private final String reason;

  OrvelException(String what, String reason) {
    super(reason.isEmpty() ? what : what + ": " + reason);
    this.reason = reason;
  }

  /**
   * The library's error text: "invalid kind", "empty item_id", "null arg" or "invalid json"
   * when the failing call reports one, else "".
   */
  public String reason() {
    return reason;
  }
}
