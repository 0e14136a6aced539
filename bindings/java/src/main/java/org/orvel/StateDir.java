// SPDX-License-Identifier: MIT
package org.orvel;

import static java.nio.file.StandardCopyOption.ATOMIC_MOVE;
import static java.nio.file.StandardCopyOption.REPLACE_EXISTING;
import static java.nio.file.StandardOpenOption.CREATE;
import static java.nio.file.StandardOpenOption.READ;
import static java.nio.file.StandardOpenOption.TRUNCATE_EXISTING;
import static java.nio.file.StandardOpenOption.WRITE;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.security.SecureRandom;
import java.util.HashSet;
import java.util.HexFormat;
import java.util.Set;

/**
 * A client's folder: its lock, held while the client is open, the journal's one snapshot, and
 * the installation id its Idempotency-Keys start with. Each file is replaced whole: written
 * beside it, forced to the disk, renamed over it, and the folder forced, so that a crash leaves
 * the old text or the new one, never a mix.
 */
final class StateDir implements AutoCloseable {
  static final String SNAPSHOT = "wishlist.snapshot";
  static final String LOCK = "lock";
  static final String INSTALLATION = "installation-id";

  /** The file operations a save makes, in this order; a test puts a recording layer in. */
  interface FileLayer {
    /** A new or emptied file open for writing. */
    FileChannel create(Path file) throws IOException;

    /** Forces the file's data and size to the disk. */
    void force(FileChannel file) throws IOException;

    /** Renames from over to, in one step. */
    void rename(Path from, Path to) throws IOException;

    /** Forces the folder, so that a rename in it is on the disk. */
    void forceFolder(Path folder) throws IOException;

    FileLayer SYSTEM = new FileLayer() {
      @Override
      public FileChannel create(Path file) throws IOException {
        return FileChannel.open(file, WRITE, CREATE, TRUNCATE_EXISTING);
      }

      @Override
      public void force(FileChannel file) throws IOException {
        file.force(true);
      }

      @Override
      public void rename(Path from, Path to) throws IOException {
        Files.move(from, to, REPLACE_EXISTING, ATOMIC_MOVE);
      }

      @Override
      public void forceFolder(Path folder) throws IOException {
        try (FileChannel dir = FileChannel.open(folder, READ)) {
          dir.force(true);
        }
      }
    };
  }

  final Path folder;
  private final FileLayer files;
  private final FileChannel lockFile;
  private final FileLock lock;

  private StateDir(Path folder, FileLayer files, FileChannel lockFile, FileLock lock) {
    this.folder = folder;
    this.files = files;
    this.lockFile = lockFile;
    this.lock = lock;
  }

  /**
   * The folders open in this JVM. The file lock is a POSIX record lock, which closing any channel
   * on the file releases for the whole process: a second open in this JVM must be refused before
   * it opens the lock file at all.
   */
  private static final Set<Path> OPEN = new HashSet<>();

  /** Opens folder (creating it) and takes its lock; IOException naming the folder when it is held. */
  static StateDir open(Path folder, FileLayer files) throws IOException {
    Files.createDirectories(folder);
    Path dir = folder.toRealPath();
    synchronized (OPEN) {
      if (!OPEN.add(dir)) throw held(dir);
    }
    try {
      FileChannel channel = FileChannel.open(dir.resolve(LOCK), WRITE, CREATE);
      FileLock lock;
      try {
        lock = channel.tryLock();
      } catch (IOException | RuntimeException e) {
        channel.close();
        throw e;
      }
      if (lock == null) {
        channel.close();
        throw held(dir);
      }
      return new StateDir(dir, files, channel, lock);
    } catch (IOException | RuntimeException | Error e) {
      synchronized (OPEN) {
        OPEN.remove(dir);
      }
      throw e;
    }
  }

  private static IOException held(Path dir) {
    return new IOException("the wishlist in " + dir + " is open already (another client holds " + dir.resolve(LOCK)
        + "): close it first");
  }

  /** The snapshot's bytes, or null when none was ever saved. IOException naming the file when it cannot be read. */
  byte[] readSnapshot() throws IOException {
    Path file = folder.resolve(SNAPSHOT);
    // A temporary file was never renamed: what it holds was never saved.
    Files.deleteIfExists(folder.resolve(SNAPSHOT + ".tmp"));
    try {
      return Files.readAllBytes(file);
    } catch (NoSuchFileException none) {
      return null;
    } catch (IOException e) {
      throw new IOException("cannot read the saved wishlist " + file + ": " + e, e);
    }
  }

  void writeSnapshot(byte[] text) throws IOException {
    replace(SNAPSHOT, text);
  }

  /**
   * This installation's id: random, made once and kept in the folder, so that an operation's
   * Idempotency-Key is the same across restarts and differs from every other installation's.
   */
  String installationId() throws IOException {
    Path file = folder.resolve(INSTALLATION);
    try {
      String id = Files.readString(file, StandardCharsets.US_ASCII).trim();
      if (id.matches("[0-9a-f]{32}")) return id;
    } catch (NoSuchFileException none) {
      // made below
    } catch (IOException | RuntimeException unreadable) {
      // made again below: the keys of requests sent before change, and the changes are states
    }
    byte[] random = new byte[16];
    new SecureRandom().nextBytes(random);
    String id = HexFormat.of().formatHex(random);
    replace(INSTALLATION, (id + "\n").getBytes(StandardCharsets.US_ASCII));
    return id;
  }

  /** Replaces name with bytes: tmp, write, fsync, rename, fsync of the folder. */
  private void replace(String name, byte[] bytes) throws IOException {
    Path target = folder.resolve(name);
    Path tmp = folder.resolve(name + ".tmp");
    try {
      try (FileChannel out = files.create(tmp)) {
        ByteBuffer buffer = ByteBuffer.wrap(bytes);
        while (buffer.hasRemaining()) out.write(buffer);
        files.force(out);
      }
      files.rename(tmp, target);
      files.forceFolder(folder);
    } catch (IOException | RuntimeException e) {
      try {
        Files.deleteIfExists(tmp);
      } catch (IOException ignored) {
        // the next save replaces it; an open ignores it
      }
      throw new IOException("cannot save " + target + ": " + e, e);
    }
  }

  @Override
  public void close() throws IOException {
    try {
      lock.release();
    } finally {
      lockFile.close();
      synchronized (OPEN) {
        OPEN.remove(folder);
      }
    }
  }
}
