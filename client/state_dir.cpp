// SPDX-License-Identifier: MIT
#include "state_dir.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "orvel.hpp"

namespace orvel::client_detail {

namespace {

[[noreturn]] void fail(const std::string &what, int error) {
  throw Error(what + ": " + std::strerror(error));
}

// mkdir -p: each missing folder of path, made in turn.
void make_folders(const std::string &path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) fail("cannot create state folder " + part, errno);
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) fail("cannot open state folder " + path, errno);
  if (!S_ISDIR(info.st_mode)) fail("cannot open state folder " + path, ENOTDIR);
}

// The whole file, or none when it does not exist; throws naming it otherwise.
std::optional<std::string> read_file(const std::string &name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    fail("cannot read " + name, errno);
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      fail("cannot read " + name, error);
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

bool is_hex_id(std::string_view text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

int FileOps::open(const char *path, int flags, unsigned mode) { return ::open(path, flags, static_cast<mode_t>(mode)); }
long FileOps::write(int fd, const void *data, std::size_t size) { return ::write(fd, data, size); }
int FileOps::fsync(int fd) { return ::fsync(fd); }
int FileOps::close(int fd) { return ::close(fd); }
int FileOps::rename(const char *from, const char *to) { return ::rename(from, to); }
namespace {
std::atomic<FileOps *> replaced_system{nullptr};
}  // namespace

FileOps &FileOps::system() {
  static FileOps ops;
  FileOps *replaced = replaced_system.load();
  return replaced != nullptr ? *replaced : ops;
}
void FileOps::use_as_system(FileOps *ops) { replaced_system.store(ops); }

StateDir::StateDir(std::string path, FileOps &ops) : path_(std::move(path)), ops_(ops) {
  while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
  if (path_.empty()) throw Error("the state folder is empty");
  make_folders(path_);
  const std::string lock = file(kLock);
  lock_fd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd_ < 0) fail("cannot open " + lock, errno);
  if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(lock_fd_);
    lock_fd_ = -1;
    if (error == EWOULDBLOCK) throw Error("state folder " + path_ + " is in use by another client (" + lock + " is locked)");
    fail("cannot lock " + lock, error);
  }
}

StateDir::~StateDir() {
  if (lock_fd_ >= 0) ::close(lock_fd_);  // releases the lock
}

std::string StateDir::file(std::string_view name) const { return path_ + "/" + std::string(name); }

std::optional<std::string> StateDir::read_snapshot() const { return read_file(file(kSnapshot)); }

void StateDir::save_snapshot(std::string_view text) { write_atomically(kSnapshot, text); }

const std::string &StateDir::installation_id() {
  if (!installation_.empty()) return installation_;
  const std::string name = file(kInstallation);
  if (const std::optional<std::string> text = read_file(name)) {
    const std::string id = text->substr(0, text->find('\n'));
    if (!is_hex_id(id)) throw Error(name + " is damaged: not an installation id (remove it to make a new one)");
    installation_ = id;
    return installation_;
  }
  unsigned char bytes[16];
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) fail("cannot make an installation id", errno);
  char hex[33];
  for (std::size_t i = 0; i < sizeof bytes; ++i) std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
  write_atomically(kInstallation, std::string(hex) + "\n");
  installation_ = hex;
  return installation_;
}

void StateDir::write_atomically(std::string_view name, std::string_view text) {
  const std::string target = file(name), tmp = target + ".tmp";
  const int fd = ops_.open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("cannot write " + tmp, errno);
  std::size_t done = 0;
  while (done < text.size()) {
    const long n = ops_.write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ops_.close(fd);
      fail("cannot write " + tmp, error);
    }
    done += static_cast<std::size_t>(n);
  }
  if (ops_.fsync(fd) != 0) {
    const int error = errno;
    ops_.close(fd);
    fail("cannot sync " + tmp, error);
  }
  if (ops_.close(fd) != 0) fail("cannot write " + tmp, errno);
  if (ops_.rename(tmp.c_str(), target.c_str()) != 0) fail("cannot replace " + target, errno);
  // The rename is durable once the folder's entry is.
  const int dir = ops_.open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dir < 0) fail("cannot sync state folder " + path_, errno);
  const int synced = ops_.fsync(dir);
  const int error = errno;
  ops_.close(dir);
  if (synced != 0) fail("cannot sync state folder " + path_, error);
}

}  // namespace orvel::client_detail
