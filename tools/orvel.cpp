// SPDX-License-Identifier: MIT
// orvel: try and script liborvel from a shell.
//
// Exit status: 0 success, 1 the library (or a file) failed, 2 usage error.
// JSON results go to standard output exactly as the library returned them,
// followed by one line feed; errors go to standard error as "orvel: ...".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

#include "orvel.h"
#include "orvel_sync.h"

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

struct StoreDeleter {
  void operator()(orvel_store *s) const { orvel_destroy(s); }
};
using Store = std::unique_ptr<orvel_store, StoreDeleter>;

struct TextDeleter {
  void operator()(char *t) const { orvel_free(t); }
};
using Text = std::unique_ptr<char, TextDeleter>;

// A command's arguments: the options its synopsis names, and its other words in order.
struct Args {
  std::optional<std::string> title, artist, base;
  std::vector<std::string_view> words;
};

// The one source of the help texts: the overview (orvel --help), each
// command's help (orvel COMMAND --help or orvel help COMMAND), docs/tool.md's
// command list and the manual page (made from --help) all come from this
// table. The synopsis also rules the arguments: its options are the ones the
// command takes, its plain words are required, its bracketed ones optional.
struct Command {
  std::string_view name;
  int (*run)(const Args &args);
  std::string_view synopsis;  // after "orvel "
  std::string_view summary;   // one line for the overview
  std::string_view details;   // the rest of the command's help
};

constexpr std::string_view kFooter =
    "KIND is track, album, artist or playlist; ITEM_ID is not empty; BASE and URL are\n"
    "absolute http:// or https:// URLs (a path may follow the host). Texts are UTF-8.\n"
    "'orvel help COMMAND' (or 'orvel COMMAND --help') describes one command; 'orvel --version'\n"
    "prints the versions. Exit status: 0 success, 1 failure (the library or a file), 2 usage\n"
    "error (a wrong, missing or extra argument, in every command); each error names its file\n"
    "or argument.\n";

// A message put together from its parts by appending. ("text" + std::string(x)
// inserts at the front, which g++ 12 at -O2 reports, wrongly, as an overlapping copy.)
std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (const std::string_view part : parts) size += part.size();
  std::string out;
  out.reserve(size);
  for (const std::string_view part : parts) out.append(part);
  return out;
}

int fail(const std::string &message) {
  std::fprintf(stderr, "orvel: %s\n", message.c_str());
  return kFailed;
}

// A usage error, with the help that tells the right usage: the command's own
// when the error is about one command.
int usage(const std::string &message, std::string_view command = {}) {
  std::string help = "orvel ";
  if (!command.empty()) help.append(command).append(" ");
  std::fprintf(stderr, "orvel: %s\n(see '%s--help')\n", message.c_str(), help.c_str());
  return kUsage;
}

// The library's error text, or a fallback when it holds none.
std::string library_error(const char *fallback) {
  const char *e = orvel_last_error();
  return e[0] != '\0' ? std::string(e) : std::string(fallback);
}

int print_text(char *raw, const char *what) {
  Text text(raw);
  if (!text) return fail(library_error(what));
  std::printf("%s\n", text.get());
  return kOk;
}

// ---- checks the tool makes itself: a usage error in every command ----------------

// Well-formed UTF-8: no stray continuation bytes, overlong forms, surrogates
// or code points past U+10FFFF. The library refuses such texts when it writes
// JSON; checked here, the error names the argument instead.
bool is_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned min = 0, max = 0xBF;  // the allowed range of the second byte
    if (b < 0x80) {
      ++i;
      continue;
    }
    if (b >= 0xC2 && b <= 0xDF) {
      length = 2, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3, min = b == 0xE0 ? 0xA0 : 0x80, max = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4, min = b == 0xF0 ? 0x90 : 0x80, max = b == 0xF4 ? 0x8F : 0xBF;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if (second < min || second > max) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const char c = text[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != prefix[i]) return false;
  }
  return true;
}

bool is_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Why a base URL cannot be used ("is not ...", "has ..."), or "" when it can. The library appends the
// endpoint's path to whatever it is given, so the tool lets through only an
// absolute http:// or https:// URL that names a host (a name, an IPv4 or a
// bracketed IPv6 address), with an optional port and path; empty selects the
// compiled-in default.
std::string base_url_problem(std::string_view url) {
  if (url.empty()) return "";
  std::string_view rest;
  if (starts_with_ignoring_case(url, "https://")) {
    rest = url.substr(8);
  } else if (starts_with_ignoring_case(url, "http://")) {
    rest = url.substr(7);
  } else {
    return "is not an absolute http:// or https:// URL";
  }
  const std::size_t end = rest.find_first_of("/?#");
  const std::string_view authority = rest.substr(0, end);
  const std::string_view path = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  std::string_view host = authority, port;
  bool bracketed = false;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return "has an IPv6 address without its closing ']'";
    host = authority.substr(1, close - 1);
    bracketed = true;
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && after.front() != ':') return "has text after the host's ']'";
    if (!after.empty()) port = after.substr(1);
    if (after == ":") return "has an empty port";
  } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    if (port.empty()) return "has an empty port";
  }
  if (host.empty()) return "has no host after the scheme";
  for (const char c : host) {
    const bool ok = bracketed ? (is_alnum(c) || c == ':' || c == '.') : (is_alnum(c) || c == '-' || c == '.');
    if (!ok) return "has a host with a character a host name cannot hold";
  }
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos ||
      (!port.empty() && std::strtoul(std::string(port).c_str(), nullptr, 10) > 65535)) {
    return "has a port that is not a number from 0 to 65535";
  }
  if (path.find_first_of("?#") != std::string_view::npos) {
    return "has a query or fragment (the endpoint's path is appended to the base)";
  }
  for (const char c : path) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return "has a space or control character in its path";
  }
  if (!is_utf8(path)) return "has a path that is not valid UTF-8";
  return "";
}

std::optional<int> check_base(std::string_view what, const std::optional<std::string> &base,
                              std::string_view command) {
  if (!base) return std::nullopt;
  const std::string problem = base_url_problem(*base);
  if (problem.empty()) return std::nullopt;
  return usage(std::string(what) + " '" + *base + "' " + problem, command);
}

std::optional<int> check_identity(const std::string &kind, const std::string &id,
                                  std::string_view command) {
  if (orvel_validate_kind(kind.c_str()) != 0) return usage("invalid kind '" + kind + "'", command);
  if (id.empty()) return usage("ITEM_ID must not be empty", command);
  if (!is_utf8(id)) return usage("ITEM_ID is not valid UTF-8", command);
  return std::nullopt;
}

// The texts of an entry that the library stores and writes back out.
std::optional<int> check_entry_texts(const Args &args, std::string_view command) {
  if (args.title && !is_utf8(*args.title)) return usage("--title is not valid UTF-8", command);
  if (args.artist && !is_utf8(*args.artist)) return usage("--artist is not valid UTF-8", command);
  return std::nullopt;
}

const char *c_str_or_null(const std::optional<std::string> &s) {
  return s ? s->c_str() : nullptr;
}

// The name of a load's source in messages.
std::string source_name(const std::string &path) {
  return path == "-" ? std::string("standard input") : path;
}

// Says what standard input is waited for when a person, not a pipe, is to type
// it: a bare 'orvel load' would otherwise sit silent. Reading goes on after it.
void hint_if_terminal(const std::string &path, std::string_view what, std::string_view command) {
  if (path != "-" || ::isatty(STDIN_FILENO) == 0) return;
  std::fprintf(stderr, "orvel: reading %.*s from standard input (a terminal): paste it, then press Ctrl-D;\n"
               "  or give its file: orvel %.*s FILE\n",
               static_cast<int>(what.size()), what.data(), static_cast<int>(command.size()), command.data());
}

// Whole file (or standard input for "-"), any bytes; nullopt with errno set.
std::optional<std::string> read_all(const std::string &path) {
  const bool stdin_wanted = path == "-";
  const int fd = stdin_wanted ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string data;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int saved = errno;
      if (!stdin_wanted) ::close(fd);
      errno = saved;
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  if (!stdin_wanted) ::close(fd);
  return data;
}

// Loads text into store with its exact length. An empty text is passed as a
// NUL-terminated "" so that the library sees an empty text, not "read to NUL".
bool load_into(orvel_store *store, const std::string &text) {
  return orvel_load_mine_json(store, text.c_str(), text.size()) >= 0;
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Replaces path with data so that a crash or a full disk never leaves a
// truncated file: write a temporary file beside it, flush it to disk, then
// rename it over the old one. Returns an error text, or "" on success.
std::string write_atomically(const std::string &path, std::string_view data) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string tmp = path + ".tmp-XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) return "cannot create a temporary file beside " + path + ": " + std::strerror(errno);

  // Keep the old file's permissions, and its owner where we may set it (root).
  struct stat st {};
  const bool existed = ::stat(path.c_str(), &st) == 0;
  const mode_t mode = existed ? (st.st_mode & 07777) : 0644;
  if (existed && ::geteuid() == 0) (void)!::fchown(fd, st.st_uid, st.st_gid);
  std::string error;
  if (::fchmod(fd, mode) != 0 || !write_all(fd, data) || !write_all(fd, "\n") || ::fsync(fd) != 0) {
    error = "cannot write " + tmp + ": " + std::strerror(errno);
  }
  if (::close(fd) != 0 && error.empty()) error = "cannot write " + tmp + ": " + std::strerror(errno);
  if (error.empty() && ::rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot replace " + path + ": " + std::strerror(errno);
  }
  if (!error.empty()) {
    ::unlink(tmp.c_str());
    return error;
  }
  // Make the rename itself durable.
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return "";
}

// The file a toggle reads and replaces: a symbolic link's target, so that
// the link stays a link; "" with error set when it cannot be followed or the
// file may not be written (replacing it through the folder's permissions would
// get round the file's own).
std::string toggle_target(const std::string &path, std::string &error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return path;  // a new file
    error = "cannot read " + path + ": " + std::strerror(errno);
    return "";
  }
  std::string target = path;
  if (S_ISLNK(st.st_mode)) {
    char *resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
      error = "cannot follow the symbolic link " + path + ": " + std::strerror(errno);
      return "";
    }
    target = resolved;
    std::free(resolved);
  }
  if (::access(target.c_str(), W_OK) != 0) {
    error = "cannot write " + target + ": " + std::strerror(errno);
    return "";
  }
  return target;
}

// ---- commands ------------------------------------------------------------------
// Each runs with arguments already checked against its synopsis.

int cmd_selftest(const Args &) {
  const int32_t step = orvel_selftest();
  if (step == 0) {
    std::printf("selftest: ok\n");
    return kOk;
  }
  std::printf("selftest: failed at step %d\n", static_cast<int>(step));
  return kFailed;
}

int cmd_version(const Args &) {
  // The tool's own version (the header it was built with), then the library's that it loaded.
  std::printf("orvel %s\nliborvel %s (interface %d)\n", ORVEL_VERSION, orvel_version(),
              static_cast<int>(orvel_abi_version()));
  return kOk;
}

int cmd_mine_url(const Args &args) {
  const std::optional<std::string> base =
      args.words.empty() ? std::nullopt : std::optional<std::string>(args.words[0]);
  if (const auto bad = check_base("BASE", base, "mine-url")) return *bad;
  return print_text(orvel_build_mine_url(base ? base->c_str() : ""), "out of memory");
}

int cmd_request(const Args &args) {
  const std::string_view op = args.words[0];
  if (op != "add" && op != "remove") {
    return usage(concat({"'", op, "' is neither add nor remove"}), "request");
  }
  const std::string kind(args.words[1]);
  const std::string id(args.words[2]);
  if (const auto bad = check_identity(kind, id, "request")) return *bad;
  if (const auto bad = check_entry_texts(args, "request")) return *bad;
  if (const auto bad = check_base("--base", args.base, "request")) return *bad;
  return print_text(orvel_build_wish_request_json(c_str_or_null(args.base), op == "add" ? 1 : 0,
                                                  kind.c_str(), id.c_str(), c_str_or_null(args.title),
                                                  c_str_or_null(args.artist)),
                    "cannot build the request (out of memory)");
}

int cmd_load(const Args &args) {
  const std::string path = args.words.empty() ? "-" : std::string(args.words[0]);
  hint_if_terminal(path, "a list response", "load");
  const auto text = read_all(path);
  if (!text) return fail("cannot read " + source_name(path) + ": " + std::strerror(errno));
  Store store(orvel_create());
  if (!store) return fail("out of memory");
  if (!load_into(store.get(), *text)) return fail(source_name(path) + ": " + library_error("cannot load"));
  return print_text(orvel_export_json(store.get()),
                    ("cannot export the wishlist of " + source_name(path) + " (out of memory)").c_str());
}

int cmd_toggle(const Args &args) {
  const std::string path(args.words[0]);
  const std::string kind(args.words[1]);
  const std::string id(args.words[2]);
  if (const auto bad = check_identity(kind, id, "toggle")) return *bad;
  if (const auto bad = check_entry_texts(args, "toggle")) return *bad;
  std::string error;
  const std::string target = toggle_target(path, error);
  if (target.empty()) return fail(error);

  Store store(orvel_create());
  if (!store) return fail("out of memory");
  const auto text = read_all(target);
  if (text) {
    if (!load_into(store.get(), *text)) return fail(path + ": " + library_error("cannot load"));
  } else if (errno != ENOENT) {
    return fail("cannot read " + path + ": " + std::strerror(errno));
  }
  const int32_t r = orvel_apply_local_toggle(store.get(), kind.c_str(), id.c_str(),
                                             c_str_or_null(args.title), c_str_or_null(args.artist));
  if (r < 0) return fail("cannot toggle the entry of " + path + " (out of memory)");
  Text exported(orvel_export_json(store.get()));
  if (!exported) return fail("cannot export the wishlist of " + path + " (out of memory)");
  error = write_atomically(target, exported.get());
  if (!error.empty()) return fail(error);
  std::printf("%s\n", r == 1 ? "added" : "removed");
  return kOk;
}

// Checks a saved journal as liborvel-sync reads it back after a restart, then
// shows it as a person reads it: a summary, and the text laid out.
int cmd_journal(const Args &args) {
  const std::string path = args.words.empty() ? "-" : std::string(args.words[0]);
  hint_if_terminal(path, "a journal", "journal");
  const auto text = read_all(path);
  if (!text) return fail("cannot read " + source_name(path) + ": " + std::strerror(errno));
  Store store(orvel_create());
  std::unique_ptr<orvel_journal, void (*)(orvel_journal *)> journal(orvel_sync_create(store.get()),
                                                                   orvel_sync_destroy);
  if (!journal) return fail("out of memory");
  // An empty text is passed as a NUL-terminated "", not as "read to the NUL".
  if (orvel_sync_restore(journal.get(), text->c_str(), text->size()) < 0) {
    return fail(source_name(path) + ": " + orvel_sync_last_error());
  }
  std::printf("%s: a journal of %d operations; restored now, %d would be sent (those in flight\n"
              "when it was saved included) and %d wait for a refresh to confirm them\n",
              source_name(path).c_str(), static_cast<int>(orvel_sync_count(journal.get(), ORVEL_SYNC_HELD)),
              static_cast<int>(orvel_sync_count(journal.get(), ORVEL_SYNC_UNSENT)),
              static_cast<int>(orvel_sync_count(journal.get(), ORVEL_SYNC_CONFIRMING)));
  yyjson_doc *doc = yyjson_read(text->data(), text->size(), 0);
  char *pretty = yyjson_write(doc, YYJSON_WRITE_PRETTY_TWO_SPACES, nullptr);
  yyjson_doc_free(doc);
  if (pretty == nullptr) return fail("out of memory");
  std::printf("%s\n", pretty);
  std::free(pretty);
  return kOk;
}

int cmd_demo(const Args &) {
  static constexpr std::string_view response =
      R"({"total":3,"items":[{"kind":"album","itemId":"al-1001","title":"Northern Lights",)"
      R"("artist":"Velvetine"},{"kind":"track","itemId":"tr-2002","title":"Glass River",)"
      R"("artist":"Mara Quince"}],"playlists":["pl-3003"]})";

  std::printf("1. versions: liborvel %s, interface %d (this program expects %d)\n",
              orvel_version(), static_cast<int>(orvel_abi_version()), ORVEL_ABI_VERSION);
  if (orvel_abi_version() != ORVEL_ABI_VERSION) return fail("interface version mismatch");

  Store store(orvel_create());
  if (!store) return fail("out of memory");
  Text url(orvel_build_mine_url(""));
  if (!url) return fail("out of memory");
  std::printf("2. list URL for the default base: %s\n", url.get());

  std::printf("3. the service answered: %.*s\n", static_cast<int>(response.size()), response.data());
  const int32_t n = orvel_load_mine_json(store.get(), response.data(), response.size());
  if (n < 0) return fail(library_error("cannot load"));
  std::printf("   loaded %d entries\n", static_cast<int>(n));

  std::printf("4. is album al-1001 wished? %s\n",
              orvel_is_wished(store.get(), "album", "al-1001") ? "yes" : "no");

  const int32_t t = orvel_apply_local_toggle(store.get(), "album", "al-4004", "Quiet Harbour",
                                             "Velvetine");
  if (t < 0) return fail("cannot toggle the entry");
  std::printf("5. toggle album al-4004: %s\n", t == 1 ? "added" : "removed");

  Text request(orvel_build_wish_request_json("", t, "album", "al-4004", "Quiet Harbour",
                                             "Velvetine"));
  if (!request) return fail(library_error("cannot build the request"));
  std::printf("6. request to send: %s\n", request.get());

  Text exported(orvel_export_json(store.get()));
  if (!exported) return fail("cannot export");
  std::printf("7. wishlist now: %s\n", exported.get());
  return kOk;
}

constexpr Command kCommands[] = {
    {"selftest", cmd_selftest, "selftest", "run the library's built-in self-test",
     "Prints 'selftest: ok', or the step that failed.\n"},
    {"version", cmd_version, "version", "library and interface versions",
     "Prints the library version and interface version (as does 'orvel --version').\n"},
    {"mine-url", cmd_mine_url, "mine-url [BASE]", "the URL that lists the user's wishes",
     "Prints BASE (or the compiled-in default) without trailing slashes, followed by\n"
     "/wishlist/api/mine. BASE is an absolute http:// or https:// URL: a host, then\n"
     "optionally a port and a path, but no query or fragment.\n"},
    {"request", cmd_request, "request add|remove KIND ITEM_ID [--title T] [--artist A] [--base URL]",
     "the POST envelope that adds or removes a wish",
     "Prints the JSON envelope (method, url, contentType, body) of the POST that adds or\n"
     "removes the wish. The texts are UTF-8; URL is a base as for mine-url (by default the\n"
     "compiled-in one).\n"},
    {"load", cmd_load, "load [FILE|-]", "load a list response and print the wishlist it gives",
     "Reads a list response (any bytes, any size) from FILE or standard input (the\n"
     "default), loads it and prints the resulting wishlist as JSON.\n"},
    {"toggle", cmd_toggle, "toggle FILE KIND ITEM_ID [--title T] [--artist A]",
     "toggle one entry of a wishlist file, saved atomically",
     "Loads the wishlist FILE (a missing file is an empty wishlist), toggles the entry,\n"
     "prints 'added' or 'removed' and saves FILE atomically: the old file stays intact\n"
     "if anything fails. A symbolic link is written through to its target; the file\n"
     "keeps its permissions, and a file you may not write is refused.\n"},
    {"journal", cmd_journal, "journal [FILE|-]", "check and show a journal saved by liborvel-sync",
     "Reads a journal saved by liborvel-sync (orvel_sync_export) from FILE or standard\n"
     "input, checks it as a restore after a restart would, and prints what it holds and\n"
     "the text laid out; a journal that cannot be restored is an error, with the reason.\n"},
    {"demo", cmd_demo, "demo", "the typical call sequence on built-in sample data",
     "Walks through the typical call sequence on built-in sample data (no network).\n"},
};

// ---- arguments --------------------------------------------------------------------

const Command *find_command(std::string_view name) {
  for (const Command &c : kCommands) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    if (space != 0) words.push_back(text.substr(0, space));
    if (space == std::string_view::npos) break;
    text.remove_prefix(space + 1);
  }
  return words;
}

// What a synopsis allows: its plain words are required, its bracketed words
// optional, and each "[--option VALUE]" an option with a value.
struct Shape {
  std::vector<std::string_view> required, optional, options;
};

Shape shape_of(const Command &c) {
  Shape shape;
  const std::vector<std::string_view> words = split_words(c.synopsis);
  for (std::size_t i = 1; i < words.size(); ++i) {  // words[0] is the command's name
    const std::string_view w = words[i];
    if (w.substr(0, 2) == "[-") {
      shape.options.push_back(w.substr(1));
      ++i;  // its value's placeholder
    } else if (w.front() == '[') {
      shape.optional.push_back(w.substr(1, w.size() - 2));
    } else {
      shape.required.push_back(w);
    }
  }
  return shape;
}

// Sorts a command's arguments into options and words as its synopsis allows;
// --help or -h where an option may stand asks for the command's help.
// Returns the status of a usage error, if any.
std::optional<int> parse_args(const Command &c, const std::vector<std::string_view> &argv, Args &args,
                              bool &help) {
  const Shape shape = shape_of(c);
  help = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string_view a = argv[i];
    if (a == "--help" || a == "-h") {
      help = true;
      continue;
    }
    if (a.size() < 2 || a[0] != '-') {
      args.words.push_back(a);
      continue;
    }
    bool known = false;
    for (const std::string_view option : shape.options) known = known || option == a;
    if (!known) return usage(concat({"unknown option '", a, "'"}), c.name);
    if (i + 1 >= argv.size()) return usage(concat({"option '", a, "' needs a value"}), c.name);
    std::optional<std::string> &target = a == "--title" ? args.title : a == "--artist" ? args.artist : args.base;
    target = std::string(argv[++i]);
  }
  if (args.words.size() > shape.required.size() + shape.optional.size()) {
    const std::string extra(args.words[shape.required.size() + shape.optional.size()]);
    return usage("unexpected argument '" + extra + "'", c.name);
  }
  if (!help && args.words.size() < shape.required.size()) {
    return usage(concat({"missing ", shape.required[args.words.size()]}), c.name);
  }
  return std::nullopt;
}

std::string overview() {
  std::string text = "usage: orvel COMMAND [ARGS]\n\ncommands:\n";
  constexpr std::size_t kColumn = 36;
  for (const Command &c : kCommands) {
    text += "  ";
    text += c.synopsis;
    // Long synopses get their summary on a line of their own.
    if (c.synopsis.size() + 3 <= kColumn) {
      text.append(kColumn - 2 - c.synopsis.size(), ' ');
    } else {
      text += "\n";
      text.append(kColumn, ' ');
    }
    text += c.summary;
    text += "\n";
  }
  text += "\n";
  text += kFooter;
  return text;
}

void print_command_help(const Command &c) {
  std::printf("usage: orvel %.*s\n%.*s", static_cast<int>(c.synopsis.size()), c.synopsis.data(),
              static_cast<int>(c.details.size()), c.details.data());
}

// The words after a top-level option that takes none ("--help", "--version").
std::optional<int> no_more_words(const std::vector<std::string_view> &args, std::size_t taken) {
  if (args.size() <= taken) return std::nullopt;
  return usage(concat({"unexpected argument '", args[taken], "'"}));
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(overview().c_str(), stderr);
    return kUsage;
  }
  if (args[0] == "--help" || args[0] == "-h") {
    if (const auto bad = no_more_words(args, 1)) return *bad;
    std::fputs(overview().c_str(), stdout);
    return kOk;
  }
  if (args[0] == "help") {
    if (args.size() == 1) {
      std::fputs(overview().c_str(), stdout);
      return kOk;
    }
    const Command *c = find_command(args[1]);
    if (c == nullptr) return usage(concat({"unknown command '", args[1], "'"}));
    if (const auto bad = no_more_words(args, 2)) return *bad;
    print_command_help(*c);
    return kOk;
  }
  if (args[0] == "--version" || args[0] == "-V") {
    if (const auto bad = no_more_words(args, 1)) return *bad;
    return cmd_version({});
  }
  const Command *c = find_command(args[0]);
  if (c == nullptr) return usage(concat({"unknown command '", args[0], "'"}));
  Args parsed;
  bool help = false;
  if (const auto bad = parse_args(*c, {args.begin() + 1, args.end()}, parsed, help)) return *bad;
  if (help) {
    print_command_help(*c);
    return kOk;
  }
  return c->run(parsed);
}
