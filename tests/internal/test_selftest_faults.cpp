// SPDX-License-Identifier: MIT
// The self-test against faulty parts. The linker sends the self-test's calls
// to the wrappers below (--wrap), which can hand back a wrong result or a
// wrong text; the self-test must then name the step that checks it, run
// nothing after that step and release what it made.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "orvel.h"

extern "C" {
orvel_store *__real_orvel_create(void);
void __real_orvel_destroy(orvel_store *store);
int32_t __real_orvel_load_mine_json(orvel_store *store, const char *json, size_t len);
int32_t __real_orvel_apply_local_toggle(orvel_store *store, const char *kind, const char *item_id,
                                        const char *title, const char *artist);
char *__real_orvel_build_wish_request_json(const char *base_url, int32_t add, const char *kind,
                                           const char *item_id, const char *title,
                                           const char *artist);
void __real_orvel_free(void *text);
}

namespace {

constexpr int32_t kUnchanged = 99;  // not a result the toggle can give
constexpr const char *kSampleId = "mb-bbce0087-d386-4246-a51d-dbcdfdbe8fb2";

// One faulty part; the defaults leave every part as it is.
struct Fault {
  const char *name;
  int32_t expected;                 // the self-test's result
  std::vector<std::string> calls;   // what it calls, in order
  bool no_store = false;            // the store cannot be made
  const char *response = nullptr;   // loaded instead of the sample
  int32_t toggle = kUnchanged;      // the toggle's result, the store left alone
  bool no_request = false;          // the request cannot be built
  const char *request_from = nullptr;  // replaced in the request text...
  const char *request_to = nullptr;    // ...by this
};

void PrintTo(const Fault &fault, std::ostream *os) { *os << fault.name; }

// What the wrappers saw while a case ran.
struct Seen {
  const Fault *fault = nullptr;  // null: every wrapper passes straight through
  std::vector<std::string> calls;
  orvel_store *store = nullptr;
  std::string response, toggle_args, request_args;
} seen;

std::string replaced(std::string text, const std::string &from, const std::string &to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string joined(std::initializer_list<std::string> parts) {
  std::string out;
  for (const std::string &part : parts) out += (out.empty() ? "" : "|") + part;
  return out;
}

std::string or_null(const char *text) { return text != nullptr ? text : "<null>"; }

}  // namespace

extern "C" {

orvel_store *__wrap_orvel_create(void) {
  if (seen.fault == nullptr) return __real_orvel_create();
  seen.calls.push_back("create");
  seen.store = seen.fault->no_store ? nullptr : __real_orvel_create();
  return seen.store;
}

void __wrap_orvel_destroy(orvel_store *store) {
  if (seen.fault != nullptr) seen.calls.push_back(store == seen.store ? "destroy" : "destroy another store");
  __real_orvel_destroy(store);
}

int32_t __wrap_orvel_load_mine_json(orvel_store *store, const char *json, size_t len) {
  if (seen.fault == nullptr) return __real_orvel_load_mine_json(store, json, len);
  seen.calls.push_back("load");
  seen.response.assign(json, len);
  const char *response = seen.fault->response;
  return response != nullptr ? __real_orvel_load_mine_json(store, response, std::strlen(response))
                             : __real_orvel_load_mine_json(store, json, len);
}

int32_t __wrap_orvel_apply_local_toggle(orvel_store *store, const char *kind, const char *item_id,
                                        const char *title, const char *artist) {
  if (seen.fault == nullptr) return __real_orvel_apply_local_toggle(store, kind, item_id, title, artist);
  seen.calls.push_back("toggle");
  seen.toggle_args = joined({or_null(kind), or_null(item_id), or_null(title), or_null(artist)});
  if (seen.fault->toggle != kUnchanged) return seen.fault->toggle;
  return __real_orvel_apply_local_toggle(store, kind, item_id, title, artist);
}

char *__wrap_orvel_build_wish_request_json(const char *base_url, int32_t add, const char *kind,
                                           const char *item_id, const char *title,
                                           const char *artist) {
  char *text = __real_orvel_build_wish_request_json(base_url, add, kind, item_id, title, artist);
  if (seen.fault == nullptr) return text;
  seen.calls.push_back("request");
  seen.request_args = joined({or_null(base_url), std::to_string(add), or_null(kind), or_null(item_id),
                              or_null(title), or_null(artist)});
  if (text == nullptr || (!seen.fault->no_request && seen.fault->request_from == nullptr)) return text;
  const std::string faulty =
      seen.fault->no_request ? "" : replaced(text, seen.fault->request_from, seen.fault->request_to);
  __real_orvel_free(text);
  // Released by the self-test, as any returned text.
  if (seen.fault->no_request) return nullptr;
  auto *copy = static_cast<char *>(std::malloc(faulty.size() + 1));
  if (copy != nullptr) std::memcpy(copy, faulty.c_str(), faulty.size() + 1);
  return copy;
}

void __wrap_orvel_free(void *text) {
  if (seen.fault != nullptr && text != nullptr) seen.calls.push_back("free");
  __real_orvel_free(text);
}

}  // extern "C"

namespace {

const std::vector<std::string> kUpToLoad = {"create", "load", "destroy"};
const std::vector<std::string> kUpToToggle = {"create", "load", "toggle", "destroy"};
const std::vector<std::string> kEveryStep = {"create", "load", "toggle", "request", "free", "destroy"};

const Fault kFaults[] = {
    {.name = "none", .expected = 0, .calls = kEveryStep},
    {.name = "no store", .expected = 1, .calls = {"create"}, .no_store = true},
    {.name = "load fails", .expected = 2, .calls = kUpToLoad, .response = "[1,]"},
    {.name = "load finds nothing", .expected = 2, .calls = kUpToLoad, .response = R"({"items":[]})"},
    {.name = "load finds two", .expected = 2, .calls = kUpToLoad,
     .response = R"({"albums":["mb-bbce0087-d386-4246-a51d-dbcdfdbe8fb2","other"]})"},
    {.name = "loaded under another kind", .expected = 3, .calls = kUpToLoad,
     .response = R"({"tracks":["mb-bbce0087-d386-4246-a51d-dbcdfdbe8fb2"]})"},
    {.name = "loaded under another id", .expected = 3, .calls = kUpToLoad,
     .response = R"({"albums":["mb-bbce0087"]})"},
    {.name = "toggle adds", .expected = 4, .calls = kUpToToggle, .toggle = 1},
    {.name = "toggle fails", .expected = 4, .calls = kUpToToggle, .toggle = -1},
    {.name = "toggle removes nothing", .expected = 5, .calls = kUpToToggle, .toggle = 0},
    {.name = "no request", .expected = 6, .calls = {"create", "load", "toggle", "request", "destroy"},
     .no_request = true},
    {.name = "op is remove", .expected = 6, .calls = kEveryStep,
     .request_from = R"(\"op\":\"add\")", .request_to = R"(\"op\":\"remove\")"},
    {.name = "another item id", .expected = 6, .calls = kEveryStep,
     .request_from = R"(\"itemId\":\"hallelujah\")", .request_to = R"(\"itemId\":\"hallelujah2\")"},
    {.name = "body as an object", .expected = 6, .calls = kEveryStep,
     .request_from = R"(\")", .request_to = R"(")"},
};

class SelftestFaults : public ::testing::TestWithParam<Fault> {
 protected:
  void TearDown() override { seen = Seen{}; }
};

TEST_P(SelftestFaults, NamesTheStepAndReleasesWhatItMade) {
  seen.fault = &GetParam();
  const int32_t result = orvel_selftest();
  EXPECT_EQ(result, GetParam().expected);
  EXPECT_EQ(seen.calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(Selftest, SelftestFaults, ::testing::ValuesIn(kFaults),
                         [](const auto &info) {
                           std::string name = info.param.name;
                           for (char &ch : name) {
                             if (ch == ' ') ch = '_';
                           }
                           return name;
                         });

// The sample data reach the parts exactly.
TEST(SelftestFaults, PassesTheSampleData) {
  const Fault none{.name = "none", .expected = 0, .calls = kEveryStep};
  seen.fault = &none;
  EXPECT_EQ(orvel_selftest(), 0);
  EXPECT_EQ(seen.response, R"({"items":[{"kind":"album","itemId":"mb-bbce0087-d386-4246-a51d-dbcdfdbe8fb2",)"
                           R"("title":"AMSP","artist":"Velvetine"}]})");
  EXPECT_EQ(seen.toggle_args, joined({"album", kSampleId, "AMSP", "Velvetine"}));
  EXPECT_EQ(seen.request_args,
            joined({ORVEL_TEST_DEFAULT_BASE_URL, "1", "track", "hallelujah", "Hallelujah", "Mara Quince"}));
  seen = Seen{};
}

}  // namespace
