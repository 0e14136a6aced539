// SPDX-License-Identifier: MIT
package org.orvel;

import java.util.ArrayList;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * A reader for the JSON texts the libraries write (the export, the request envelope): objects
 * as insertion-ordered maps, arrays as lists, strings, integers as Long, true, false and null.
 * The texts come from the library, so anything else is a fault of this package and throws
 * IllegalStateException.
 */
final class Json {
  private final String text;
  private int at;

  private Json(String text) {
    this.text = text;
  }

  static Object parse(String text) {
    Json reader = new Json(text);
    Object value = reader.value();
    reader.space();
    if (reader.at != text.length()) throw reader.fault("trailing text");
    return value;
  }

  /** The object at the root of text. */
  static Map<String, Object> object(String text) {
    return asObject(parse(text));
  }

  @SuppressWarnings("unchecked")
  static Map<String, Object> asObject(Object value) {
    if (!(value instanceof Map)) throw new IllegalStateException("the library wrote " + value + " for an object");
    return (Map<String, Object>) value;
  }

  /** The member name of object, which must be a string. */
  static String string(Map<String, Object> object, String name) {
    Object value = object.get(name);
    if (!(value instanceof String)) throw new IllegalStateException("the library wrote no text for " + name);
    return (String) value;
  }

  private Object value() {
    space();
    if (at >= text.length()) throw fault("a value");
    char c = text.charAt(at);
    return switch (c) {
      case '{' -> object();
      case '[' -> array();
      case '"' -> string();
      case 't' -> word("true", Boolean.TRUE);
      case 'f' -> word("false", Boolean.FALSE);
      case 'n' -> word("null", null);
      default -> integer();
    };
  }

  private Map<String, Object> object() {
    Map<String, Object> members = new LinkedHashMap<>();
    at++;
    space();
    if (next('}')) return Collections.unmodifiableMap(members);
    do {
      space();
      if (at >= text.length() || text.charAt(at) != '"') throw fault("a member name");
      String name = string();
      space();
      if (!next(':')) throw fault("':'");
      members.put(name, value());
      space();
    } while (next(','));
    if (!next('}')) throw fault("'}'");
    return Collections.unmodifiableMap(members);
  }

  private List<Object> array() {
    List<Object> items = new ArrayList<>();
    at++;
    space();
    if (next(']')) return Collections.unmodifiableList(items);
    do {
      items.add(value());
      space();
    } while (next(','));
    if (!next(']')) throw fault("']'");
    return Collections.unmodifiableList(items);
  }

  private String string() {
    at++;  // the opening quote
    StringBuilder out = new StringBuilder();
    while (true) {
      if (at >= text.length()) throw fault("the end of a string");
      char c = text.charAt(at++);
      if (c == '"') return out.toString();
      if (c != '\\') {
        out.append(c);
        continue;
      }
      if (at >= text.length()) throw fault("an escape");
      char e = text.charAt(at++);
      switch (e) {
        case '"', '\\', '/' -> out.append(e);
        case 'b' -> out.append('\b');
        case 'f' -> out.append('\f');
        case 'n' -> out.append('\n');
        case 'r' -> out.append('\r');
        case 't' -> out.append('\t');
        case 'u' -> out.append(hexUnit());  // a pair of escapes joins itself: both halves append
        default -> throw fault("an escape");
      }
    }
  }

  private char hexUnit() {
    if (at + 4 > text.length()) throw fault("four hex digits");
    try {
      char unit = (char) Integer.parseInt(text.substring(at, at + 4), 16);
      at += 4;
      return unit;
    } catch (NumberFormatException x) {
      throw fault("four hex digits");
    }
  }

  private Long integer() {
    int start = at;
    if (at < text.length() && text.charAt(at) == '-') at++;
    while (at < text.length() && Character.isDigit(text.charAt(at))) at++;
    try {
      return Long.valueOf(text.substring(start, at));
    } catch (NumberFormatException x) {
      throw fault("an integer");
    }
  }

  private Object word(String word, Object value) {
    if (!text.startsWith(word, at)) throw fault(word);
    at += word.length();
    return value;
  }

  private boolean next(char c) {
    if (at < text.length() && text.charAt(at) == c) {
      at++;
      return true;
    }
    return false;
  }

  private void space() {
    while (at < text.length() && " \t\r\n".indexOf(text.charAt(at)) >= 0) at++;
  }

  private IllegalStateException fault(String expected) {
    return new IllegalStateException("the library wrote JSON this package cannot read: " + expected
        + " expected at offset " + at);
  }
}
