// SPDX-License-Identifier: MIT
// The client's folder: its lock, its installation id and the one snapshot,
// replaced atomically. The file operations go through FileOps so that a test
// can see their order (data synced before the rename, the folder after it).
#ifndef ORVEL_CLIENT_STATE_DIR_HPP
#define ORVEL_CLIENT_STATE_DIR_HPP

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvel::client_detail {

// The POSIX calls the folder makes; each returns -1 with errno set on failure.
class FileOps {
 public:
  virtual ~FileOps() = default;
  virtual int open(const char *path, int flags, unsigned mode);
  virtual long write(int fd, const void *data, std::size_t size);
  virtual int fsync(int fd);
  virtual int close(int fd);
  virtual int rename(const char *from, const char *to);
  // The layer folders opened from now on use by default: the real calls, or
  // one a test put in their place to watch a whole client's saves.
  static FileOps &system();
  static void use_as_system(FileOps *ops);  // nullptr: the real calls again
};

class StateDir {
 public:
  static constexpr std::string_view kSnapshot = "wishlist.snapshot";
  static constexpr std::string_view kLock = "lock";
  static constexpr std::string_view kInstallation = "installation-id";

  // Creates the folder when missing and takes its lock; throws orvel::Error
  // naming the folder when either fails (another client holds the lock).
  explicit StateDir(std::string path, FileOps &ops = FileOps::system());
  ~StateDir();
  StateDir(const StateDir &) = delete;
  StateDir &operator=(const StateDir &) = delete;

  // The snapshot's text, or none when there is none yet; throws naming the file.
  std::optional<std::string> read_snapshot() const;
  // Replaces the snapshot: .tmp written, synced, renamed over, folder synced.
  void save_snapshot(std::string_view text);
  // The random id of this installation, made and saved on first use.
  const std::string &installation_id();

  std::string file(std::string_view name) const;
  const std::string &path() const noexcept { return path_; }

 private:
  void write_atomically(std::string_view name, std::string_view text);
  std::string path_;
  FileOps &ops_;
  int lock_fd_ = -1;
  std::string installation_;
};

}  // namespace orvel::client_detail

#endif
