// SPDX-License-Identifier: MIT
package org.orvel;

/**
 * The functions of liborvel's JNI shim (orvel_jni.c) and its loading. Texts are UTF-8 byte
 * arrays without a terminating NUL; null stands for an absent text. Returned texts are null on
 * failure.
 */
final class Native {
  /** The shim, looked for beside the jar when -Dorvel.library.path is not set. */
  static final Shim SHIM = new Shim("orvel_jni", "liborvel", "liborvel.so.1", Orvel.LIBRARY_PATH_PROPERTY,
      Orvel.LIBRARY_SEARCH_ORDER, Shim::jarFolder, Native::abiVersion, Orvel.ABI_VERSION);

  private Native() {}

  /** Loads the shim (and through it liborvel) once; UnsatisfiedLinkError when impossible. */
  static void load() {
    SHIM.load();
  }

  static native String version();

  static native int abiVersion();

  static native int selftest();

  static native byte[] lastError();

  static native long create();

  static native void destroy(long store);

  static native int count(long store);

  static native int validateKind(byte[] kind);

  static native int isWished(long store, byte[] kind, byte[] itemId);

  static native int toggle(long store, byte[] kind, byte[] itemId, byte[] title, byte[] artist);

  static native byte[] buildMineUrl(byte[] baseUrl);

  static native byte[] buildWishRequest(
      byte[] baseUrl, boolean add, byte[] kind, byte[] itemId, byte[] title, byte[] artist);

  static native int load(long store, byte[] json);

  static native byte[] exportJson(long store);
}
