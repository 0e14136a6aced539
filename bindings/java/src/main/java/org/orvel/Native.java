package org.orvel;

import java.io.File;

/**
 * The JNI shim's functions, and the loading of the shim. Texts are UTF-8 byte arrays without
 * a terminating NUL; null stands for an absent text. Returned texts are null on failure.
 */
final class Native {
  /** The system property naming the shim's file, or the folder that holds it. */
  static final String PATH_PROPERTY = "orvel.library.path";

  static final int ABI_VERSION = 1;

  private static final String SHIM = "orvel_jni";
  private static volatile boolean loaded;  // read without the lock on every call
  private static String failure;

  private Native() {}

  /**
   * Loads the shim (and through it liborvel) once. Throws UnsatisfiedLinkError, with the same
   * explanation on every call, when that is impossible.
   */
  static void load() {
    if (!loaded) loadOnce();
  }

  private static synchronized void loadOnce() {
    if (loaded) return;
    if (failure == null) failure = tryLoad();
    if (failure != null) throw new UnsatisfiedLinkError(failure);
    loaded = true;
  }

  private static String tryLoad() {
    String explicit = System.getProperty(PATH_PROPERTY, "");
    File file = null;
    String place;
    if (!explicit.isEmpty()) {
      file = new File(explicit);
      if (file.isDirectory()) file = new File(file, System.mapLibraryName(SHIM));
      place = file.getAbsolutePath() + " (-D" + PATH_PROPERTY + ")";
    } else {
      place = System.mapLibraryName(SHIM) + " on java.library.path ("
          + System.getProperty("java.library.path") + ")";
    }
    try {
      if (file != null) System.load(file.getAbsolutePath());
      else System.loadLibrary(SHIM);
    } catch (UnsatisfiedLinkError | SecurityException e) {
      return "liborvel's JNI shim could not be loaded. Tried: " + place + ": " + e.getMessage()
          + ". Fix: start the JVM with -D" + PATH_PROPERTY + "=/path/to/" + System.mapLibraryName(SHIM)
          + " (or its folder), or put that folder on java.library.path; liborvel.so.1 must be"
          + " beside the shim or on the system loader path.";
    }
    int found = abiVersion();
    if (found != ABI_VERSION) {
      return place + " is liborvel interface " + found + "; this package needs " + ABI_VERSION;
    }
    return null;
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
