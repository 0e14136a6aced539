package org.orvel;

import java.io.File;
import java.net.URISyntaxException;
import java.security.CodeSource;

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
    String name = System.mapLibraryName(SHIM);
    StringBuilder tried = new StringBuilder();
    String place;
    if (!explicit.isEmpty()) {
      File file = new File(explicit);
      if (file.isDirectory()) file = new File(file, name);
      place = attempt(file, file.getAbsolutePath() + " (-D" + PATH_PROPERTY + ")", tried);
    } else {
      // A build tree holds the jar and the shim side by side.
      File beside = besideTheJar(name);
      place = beside == null ? null : attempt(beside, beside.getAbsolutePath() + " (beside the jar)", tried);
      if (place == null) {
        place = attempt(null, name + " on java.library.path (" + System.getProperty("java.library.path") + ")",
            tried);
      }
    }
    if (place == null) {
      return "liborvel's JNI shim could not be loaded. Tried: " + tried
          + ". Fix: start the JVM with -D" + PATH_PROPERTY + "=/path/to/" + name
          + " (or its folder), or put that folder on java.library.path; liborvel.so.1 must be"
          + " beside the shim or on the system loader path.";
    }
    int found = abiVersion();
    if (found != ABI_VERSION) {
      return place + " is liborvel interface " + found + "; this package needs " + ABI_VERSION;
    }
    return null;
  }

  /**
   * Loads the shim from file, or from java.library.path when file is null. Returns place on
   * success; on failure adds place and the reason to tried and returns null.
   */
  private static String attempt(File file, String place, StringBuilder tried) {
    try {
      if (file != null) System.load(file.getAbsolutePath());
      else System.loadLibrary(SHIM);
      return place;
    } catch (UnsatisfiedLinkError | SecurityException e) {
      if (tried.length() > 0) tried.append("; ");
      tried.append(place).append(": ").append(e.getMessage());
      return null;
    }
  }

  /** The shim's file beside the jar these classes were loaded from, if it is there; else null. */
  private static File besideTheJar(String name) {
    try {
      CodeSource source = Native.class.getProtectionDomain().getCodeSource();
      if (source == null) return null;
      File jar = new File(source.getLocation().toURI());
      File shim = new File(jar.getParentFile(), name);
      return jar.isFile() && shim.isFile() ? shim : null;
    } catch (URISyntaxException | SecurityException | IllegalArgumentException e) {
      return null;
    }
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
