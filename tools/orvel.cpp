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
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvel.h"

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

// The one source of the help texts: the overview (orvel --help), each
// command's help (orvel COMMAND --help), the README's command list and the
// manual page (made from --help) all come from this table.
struct Command {
  std::string_view name;
  int (*run)(const std::vector<std::string_view> &args);
  std::string_view synopsis;  // after "orvel "
  std::string_view summary;   // one line for the overview
  std::string_view details;   // the rest of the command's help
};

constexpr std::string_view kFooter =
    "KIND is track, album, artist or playlist; ITEM_ID is not empty.\n"
    "'orvel COMMAND --help' describes one command; 'orvel --version' prints the versions.\n"
    "Exit status: 0 success, 1 failure (the library or a file), 2 usage error (a wrong or\n"
    "missing argument, an invalid KIND or an empty ITEM_ID, in every command).\n";

int fail(const std::string &message) {
  std::fprintf(stderr, "orvel: %s\n", message.c_str());
  return kFailed;
}

int usage(const std::string &message) {
  std::fprintf(stderr, "orvel: %s\n(see 'orvel --help')\n", message.c_str());
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

// Options --title, --artist and --base taken out of args; the rest stay in order.
struct Options {
  std::optional<std::string> title, artist, base;
  std::vector<std::string_view> positional;
  std::string error;
};

Options parse_options(const std::vector<std::string_view> &args, bool allow_base) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    std::optional<std::string> *target = nullptr;
    if (a == "--title") target = &o.title;
    if (a == "--artist") target = &o.artist;
    if (a == "--base" && allow_base) target = &o.base;
    if (target == nullptr) {
      if (a.size() > 1 && a[0] == '-' && a != "-") {
        o.error = "unknown option '" + std::string(a) + "'";
        return o;
      }
      o.positional.push_back(a);
      continue;
    }
    if (i + 1 >= args.size()) {
      o.error = "option '" + std::string(a) + "' needs a value";
      return o;
    }
    *target = std::string(args[++i]);
  }
  return o;
}

// The checks the tool can make itself: a usage error in every command.
std::optional<int> check_identity(const std::string &kind, const std::string &id) {
  if (orvel_validate_kind(kind.c_str()) != 0) return usage("invalid kind '" + kind + "'");
  if (id.empty()) return usage("ITEM_ID must not be empty");
  return std::nullopt;
}

const char *c_str_or_null(const std::optional<std::string> &s) {
  return s ? s->c_str() : nullptr;
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

int cmd_selftest(const std::vector<std::string_view> &args) {
  if (!args.empty()) return usage("selftest takes no arguments");
  const int32_t step = orvel_selftest();
  if (step == 0) {
    std::printf("selftest: ok\n");
    return kOk;
  }
  std::printf("selftest: failed at step %d\n", static_cast<int>(step));
  return kFailed;
}

int cmd_version(const std::vector<std::string_view> &args) {
  if (!args.empty()) return usage("version takes no arguments");
  // The tool's own version (the header it was built with), then the library's that it loaded.
  std::printf("orvel %s\nliborvel %s (interface %d)\n", ORVEL_VERSION, orvel_version(),
              static_cast<int>(orvel_abi_version()));
  return kOk;
}

int cmd_mine_url(const std::vector<std::string_view> &args) {
  if (args.size() > 1) return usage("mine-url takes at most one argument, the base URL");
  const std::string base = args.empty() ? std::string() : std::string(args[0]);
  return print_text(orvel_build_mine_url(base.c_str()), "out of memory");
}

int cmd_request(const std::vector<std::string_view> &args) {
  const Options o = parse_options(args, true);
  if (!o.error.empty()) return usage(o.error);
  if (o.positional.size() != 3) return usage("request needs add|remove, KIND and ITEM_ID");
  const std::string_view op = o.positional[0];
  if (op != "add" && op != "remove") return usage("request: the first argument is add or remove");
  const std::string kind(o.positional[1]);
  const std::string id(o.positional[2]);
  if (const auto bad = check_identity(kind, id)) return *bad;
  return print_text(orvel_build_wish_request_json(c_str_or_null(o.base), op == "add" ? 1 : 0,
                                                  kind.c_str(), id.c_str(), c_str_or_null(o.title),
                                                  c_str_or_null(o.artist)),
                    "cannot build the request (a text that is not UTF-8, or out of memory)");
}

int cmd_load(const std::vector<std::string_view> &args) {
  if (args.size() > 1) return usage("load takes at most one argument, a file or -");
  const std::string path = args.empty() ? "-" : std::string(args[0]);
  const auto text = read_all(path);
  if (!text) return fail("cannot read " + (path == "-" ? std::string("standard input") : path) + ": " + std::strerror(errno));
  Store store(orvel_create());
  if (!store) return fail("out of memory");
  if (!load_into(store.get(), *text)) return fail(library_error("cannot load"));
  return print_text(orvel_export_json(store.get()), "cannot export (a text that is not UTF-8, or out of memory)");
}

int cmd_toggle(const std::vector<std::string_view> &args) {
  const Options o = parse_options(args, false);
  if (!o.error.empty()) return usage(o.error);
  if (o.positional.size() != 3) return usage("toggle needs FILE, KIND and ITEM_ID");
  const std::string path(o.positional[0]);
  const std::string kind(o.positional[1]);
  const std::string id(o.positional[2]);
  if (const auto bad = check_identity(kind, id)) return *bad;
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
                                             c_str_or_null(o.title), c_str_or_null(o.artist));
  if (r < 0) return fail("cannot toggle the entry (out of memory)");
  Text exported(orvel_export_json(store.get()));
  if (!exported) return fail("cannot export (a text that is not UTF-8, or out of memory)");
  error = write_atomically(target, exported.get());
  if (!error.empty()) return fail(error);
  std::printf("%s\n", r == 1 ? "added" : "removed");
  return kOk;
}

int cmd_demo(const std::vector<std::string_view> &args) {
  if (!args.empty()) return usage("demo takes no arguments");
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
     "/wishlist/api/mine.\n"},
    {"request", cmd_request, "request add|remove KIND ITEM_ID [--title T] [--artist A] [--base URL]",
     "the POST envelope that adds or removes a wish",
     "Prints the JSON envelope (method, url, contentType, body) of the POST that adds or\n"
     "removes the wish.\n"},
    {"load", cmd_load, "load [FILE|-]", "load a list response and print the wishlist it gives",
     "Reads a list response (any bytes, any size) from FILE or standard input (the\n"
     "default), loads it and prints the resulting wishlist as JSON.\n"},
    {"toggle", cmd_toggle, "toggle FILE KIND ITEM_ID [--title T] [--artist A]",
     "toggle one entry of a wishlist file, saved atomically",
     "Loads the wishlist FILE (a missing file is an empty wishlist), toggles the entry,\n"
     "prints 'added' or 'removed' and saves FILE atomically: the old file stays intact\n"
     "if anything fails. A symbolic link is written through to its target; the file\n"
     "keeps its permissions, and a file you may not write is refused.\n"},
    {"demo", cmd_demo, "demo", "the typical call sequence on built-in sample data",
     "Walks through the typical call sequence on built-in sample data (no network).\n"},
};

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

// Whether args ask for help: --help or -h where an option may stand, not as
// the value of --title, --artist or --base.
bool wants_help(const std::vector<std::string_view> &args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--title" || args[i] == "--artist" || args[i] == "--base") {
      ++i;
    } else if (args[i] == "--help" || args[i] == "-h") {
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(overview().c_str(), stderr);
    return kUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(overview().c_str(), stdout);
    return kOk;
  }
  if (args[0] == "--version" || args[0] == "-V") return cmd_version({});
  for (const Command &c : kCommands) {
    if (args[0] != c.name) continue;
    const std::vector<std::string_view> rest(args.begin() + 1, args.end());
    if (wants_help(rest)) {
      print_command_help(c);
      return kOk;
    }
    return c.run(rest);
  }
  return usage("unknown command '" + std::string(args[0]) + "'");
}
