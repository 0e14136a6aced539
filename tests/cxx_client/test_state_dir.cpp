// SPDX-License-Identifier: MIT
// The folder: the snapshot's write order (through a recording file layer), a
// damaged snapshot refused by name, a second open refused, the installation id,
// and how often a whole pass saves.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>

#include "orvel/client.hpp"
#include "service.hpp"
#include "state_dir.hpp"

namespace {

using orvel::client_detail::FileOps;
using orvel::client_detail::StateDir;

// Records each call in order, by the file's name; can fail one kind of call.
class Recorder : public FileOps {
 public:
  std::vector<std::string> calls;
  std::string fail_call;

  int open(const char *path, int flags, unsigned mode) override {
    if (fail_call == "open") return errno = EACCES, -1;
    const int fd = FileOps::open(path, flags, mode);
    names_[fd] = std::string(path).substr(std::string(path).rfind('/') + 1);
    if ((flags & O_DIRECTORY) != 0) names_[fd] = "<folder>";
    calls.push_back("open " + names_[fd]);
    return fd;
  }
  long write(int fd, const void *data, std::size_t size) override {
    if (fail_call == "write") return errno = ENOSPC, -1;
    calls.push_back("write " + names_[fd]);
    // A short write first, so that the rest is written by a second call.
    return FileOps::write(fd, data, size > 1 ? size / 2 : size);
  }
  int fsync(int fd) override {
    if (fail_call == "fsync") return errno = EIO, -1;
    calls.push_back("fsync " + names_[fd]);
    return FileOps::fsync(fd);
  }
  int close(int fd) override {
    calls.push_back("close " + names_[fd]);
    return FileOps::close(fd);
  }
  int rename(const char *from, const char *to) override {
    if (fail_call == "rename") return errno = EXDEV, -1;
    calls.push_back("rename");
    (void)to;
    return FileOps::rename(from, to);
  }

 private:
  std::map<int, std::string> names_;
};

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class StateDirTest : public ::testing::Test {
 protected:
  std::string dir = test::temp_dir();
  ~StateDirTest() override { test::remove_tree(dir); }
};

TEST_F(StateDirTest, DataIsSyncedBeforeTheRenameAndTheFolderAfterIt) {
  Recorder ops;
  StateDir state(dir, ops);
  state.save_snapshot("first");
  ops.calls.clear();
  state.save_snapshot("the second snapshot");
  // Each write is cut short, so the text takes several; their count does not matter, the order does.
  std::vector<std::string> calls;
  for (const std::string &call : ops.calls) {
    if (call != "write wishlist.snapshot.tmp" || calls.empty() || calls.back() != call) calls.push_back(call);
  }
  EXPECT_EQ(calls, (std::vector<std::string>{"open wishlist.snapshot.tmp", "write wishlist.snapshot.tmp",
                                             "fsync wishlist.snapshot.tmp", "close wishlist.snapshot.tmp", "rename",
                                             "open <folder>", "fsync <folder>", "close <folder>"}));
  EXPECT_GT(ops.calls.size(), calls.size()) << "short writes are finished";
  EXPECT_EQ(read_file(dir + "/wishlist.snapshot"), "the second snapshot");
}

TEST_F(StateDirTest, AFailedStepKeepsTheOldSnapshotAndNamesTheFile) {
  Recorder ops;
  StateDir state(dir, ops);
  state.save_snapshot("kept");
  for (const char *step : {"open", "write", "fsync", "rename"}) {
    ops.fail_call = step;
    try {
      state.save_snapshot("lost");
      ADD_FAILURE() << step << " failed, yet the save succeeded";
    } catch (const orvel::Error &error) {
      EXPECT_NE(std::string(error.what()).find(dir + "/wishlist.snapshot"), std::string::npos) << error.what();
    }
    EXPECT_EQ(read_file(dir + "/wishlist.snapshot"), "kept") << step;
  }
}

TEST_F(StateDirTest, ASecondOpenOfTheFolderIsRefusedByName) {
  orvel::ClientOptions options;
  options.transport = std::make_shared<test::NoNetwork>();
  orvel::WishlistClient first("http://127.0.0.1:9", dir, options);
  try {
    orvel::WishlistClient second("http://127.0.0.1:9", dir, options);
    FAIL() << "two clients opened one folder";
  } catch (const orvel::Error &error) {
    EXPECT_NE(std::string(error.what()).find("state folder " + dir + " is in use"), std::string::npos)
        << error.what();
  }
  first.close();
  orvel::WishlistClient again("http://127.0.0.1:9", dir, options);  // the lock went with the first
}

TEST_F(StateDirTest, ADamagedSnapshotIsRefusedByNameAndKept) {
  orvel::ClientOptions options;
  options.transport = std::make_shared<test::NoNetwork>();
  {
    orvel::WishlistClient client("http://127.0.0.1:9", dir, options);
    client.set_wished(orvel::Kind::album, "al-1", true, "Blue Hour", "Ines Varga");
  }
  const std::string file = dir + "/wishlist.snapshot";
  const std::string whole = read_file(file);
  for (const std::string &damage : {whole.substr(0, whole.size() / 2), std::string("{}"), std::string(""),
                                    std::string("\xff\xfe"), whole + "x"}) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << damage;
    try {
      orvel::WishlistClient client("http://127.0.0.1:9", dir, options);
      ADD_FAILURE() << "opened a damaged snapshot: " << damage;
    } catch (const orvel::Error &error) {
      EXPECT_NE(std::string(error.what()).find(file), std::string::npos) << error.what();
    }
    EXPECT_EQ(read_file(file), damage) << "never replaced";
  }
  std::ofstream(file, std::ios::binary | std::ios::trunc) << whole;
  orvel::WishlistClient client("http://127.0.0.1:9", dir, options);
  EXPECT_TRUE(client.wished(orvel::Kind::album, "al-1"));
}

TEST_F(StateDirTest, TheInstallationIdIsKeptAndADamagedOneRefused) {
  std::string id;
  {
    StateDir state(dir);
    id = state.installation_id();
    EXPECT_EQ(id.size(), 32u);
  }
  {
    StateDir state(dir);
    EXPECT_EQ(state.installation_id(), id);
  }
  const std::string other = test::temp_dir();
  {
    StateDir state(other);
    EXPECT_NE(state.installation_id(), id) << "unique across installations";
  }
  std::ofstream(other + "/installation-id", std::ios::trunc) << "not an id\n";
  StateDir state(other);
  EXPECT_THROW(state.installation_id(), orvel::Error);
  test::remove_tree(other);
}

// Counts a whole client's snapshot saves, in the place of the real calls.
class SaveCounter : public FileOps {
 public:
  SaveCounter() { FileOps::use_as_system(this); }
  ~SaveCounter() override { FileOps::use_as_system(nullptr); }
  int rename(const char *from, const char *to) override {
    if (std::string(to).find("/wishlist.snapshot") != std::string::npos) ++saves;
    return FileOps::rename(from, to);
  }
  std::atomic<int> saves{0};
};

TEST_F(StateDirTest, APassOfAHundredChangesSavesPerBatchNotPerRequest) {
  if (*test::service_missing() != '\0') GTEST_SKIP() << test::service_missing();
  test::Service service;
  SaveCounter counter;
  orvel::WishlistClient client(service.base_url(), dir, test::quick_options());
  for (int i = 0; i < 100; ++i) client.set_wished(orvel::Kind::album, "al-" + std::to_string(i), true, "T", "A");
  const int before = counter.saves;
  const orvel::SyncSummary pass = client.sync_now(orvel::Clock::now() + std::chrono::seconds(60));
  EXPECT_EQ(pass.sent, 100);
  EXPECT_EQ(pass.accepted, 100);
  EXPECT_TRUE(pass.refreshed);
  EXPECT_EQ(service.entries().size(), 100u);
  // Batches of 32, 64 and the last 4 share their saves with the answers; the sending's end and the
  // refresh save once each.
  EXPECT_GT(counter.saves - before, 1);
  EXPECT_LT(counter.saves - before, 10);
}

TEST_F(StateDirTest, AFileWhereTheFolderShouldBeIsNamed) {
  const std::string file = dir + "/plain";
  std::ofstream(file) << "x";
  try {
    StateDir state(file + "/below");
    FAIL();
  } catch (const orvel::Error &error) {
    EXPECT_NE(std::string(error.what()).find(file), std::string::npos) << error.what();
  }
}

}  // namespace
