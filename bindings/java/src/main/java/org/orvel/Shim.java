// SPDX-License-Identifier: MIT
package org.orvel;

import java.io.File;
import java.net.URISyntaxException;
import java.security.CodeSource;
import java.util.List;
import java.util.function.IntSupplier;
import java.util.function.Supplier;

/**
 * One JNI shim (and through it its C library), loaded once per process on first use. The
 * places are tried in the order of a search-order list ({@link Orvel#LIBRARY_SEARCH_ORDER}):
 * the system property naming the shim's file or folder, used alone when set; else the shim in a
 * known folder; else java.library.path. When none loads, every call throws UnsatisfiedLinkError
 * with the same explanation of where it looked and how to fix it.
 */
final class Shim {
  private final String name;
  private final String owner;
  private final String library;
  private final String property;
  private final List<String> order;
  private final Supplier<File> folder;
  private final IntSupplier abiVersion;
  private final int expectedAbi;
  private volatile boolean loaded;  // read without the lock on every call
  private String failure;
  private File loadedFrom;

  /**
   * @param name the shim's base name ("orvel_jni")
   * @param owner the C library's name in the explanation ("liborvel")
   * @param library the C library the shim needs ("liborvel.so.1"), for the explanation
   * @param order the three labels of the search order: the property, the folder, the path
   * @param folder the folder to look in when the property is not set, or null
   * @param abiVersion the loaded library's interface version
   */
  Shim(String name, String owner, String library, String property, List<String> order, Supplier<File> folder,
      IntSupplier abiVersion, int expectedAbi) {
    this.name = name;
    this.owner = owner;
    this.library = library;
    this.property = property;
    this.order = order;
    this.folder = folder;
    this.abiVersion = abiVersion;
    this.expectedAbi = expectedAbi;
  }

  /** Loads the shim once; throws UnsatisfiedLinkError, the same on every call, when impossible. */
  void load() {
    if (!loaded) loadOnce();
  }

  /** The folder the shim was loaded from, or null when it came from java.library.path. */
  synchronized File folder() {
    return loadedFrom;
  }

  private synchronized void loadOnce() {
    if (loaded) return;
    if (failure == null) failure = tryLoad();
    if (failure != null) throw new UnsatisfiedLinkError(failure);
    loaded = true;
  }

  private String tryLoad() {
    String explicit = System.getProperty(property, "");
    String file = System.mapLibraryName(name);
    StringBuilder tried = new StringBuilder();
    String place;
    if (!explicit.isEmpty()) {
      File given = new File(explicit);
      if (given.isDirectory()) given = new File(given, file);
      place = attempt(given, order.get(0), tried);
    } else {
      File dir = folder.get();
      place = dir == null ? null : attempt(new File(dir, file), order.get(1), tried);
      if (place == null) {
        place = attempt(null, order.get(2) + " (" + System.getProperty("java.library.path") + ")", tried);
      }
    }
    if (place == null) {
      return owner + "'s JNI shim could not be loaded. Tried: " + tried
          + ". Fix: start the JVM with -D" + property + "=/path/to/" + file
          + " (or its folder), or put that folder on java.library.path; " + library
          + " must be beside the shim or on the system loader path.";
    }
    int found = abiVersion.getAsInt();
    if (found != expectedAbi) {
      return place + " is " + library + " of interface " + found + "; this package needs " + expectedAbi;
    }
    return null;
  }

  /**
   * Loads the shim from file, or from java.library.path when file is null. Returns a description
   * of the place on success; on failure adds it and the reason to tried and returns null.
   */
  private String attempt(File file, String label, StringBuilder tried) {
    String place = file == null ? System.mapLibraryName(name) + " on " + label
        : file.getAbsolutePath() + " (" + label + ")";
    try {
      if (file != null && !file.isFile()) throw new UnsatisfiedLinkError("no such file");
      if (file != null) System.load(file.getAbsolutePath());
      else System.loadLibrary(name);
      loadedFrom = file == null ? null : file.getAbsoluteFile().getParentFile();
      return place;
    } catch (UnsatisfiedLinkError | SecurityException e) {
      if (tried.length() > 0) tried.append("; ");
      tried.append(place).append(": ").append(e.getMessage());
      return null;
    }
  }

  /** The folder of the jar these classes were loaded from, or null (not from a jar). */
  static File jarFolder() {
    try {
      CodeSource source = Shim.class.getProtectionDomain().getCodeSource();
      if (source == null) return null;
      File jar = new File(source.getLocation().toURI());
      return jar.isFile() ? jar.getParentFile() : null;
    } catch (URISyntaxException | SecurityException | IllegalArgumentException e) {
      return null;
    }
  }
}
