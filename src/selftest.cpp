// SPDX-License-Identifier: MIT
// The built-in self-test: loading, lookup, toggling and request building on
// built-in sample data, without any service.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "orvel.h"
#include "store.h"
#include "urls.h"

namespace orvel {
namespace {

constexpr std::string_view kSampleResponse =
    R"({"items":[{"kind":"album","itemId":"mb-bbce0087-d386-4246-a51d-dbcdfdbe8fb2",)"
    R"("title":"AMSP","artist":"Velvetine"}]})";
static_assert(kSampleResponse.size() == 115);

constexpr const char *kSampleId = "mb-bbce0087-d386-4246-a51d-dbcdfdbe8fb2";

// As they stand inside the envelope's escaped "body" string.
constexpr const char *kExpectedOp = R"(\"op\":\"add\")";
constexpr const char *kExpectedItemId = R"(\"itemId\":\"hallelujah\")";

// Steps 2 to 6 on a store that exists; 0 or the first failing step.
int32_t run_steps(orvel_store *store) noexcept {
  if (orvel_load_mine_json(store, kSampleResponse.data(), kSampleResponse.size()) != 1) return 2;
  if (find_item(store, "album", kSampleId) < 0) return 3;
  if (orvel_apply_local_toggle(store, "album", kSampleId, "AMSP", "Velvetine") != 0) return 4;
  if (orvel_count(store) != 0) return 5;

  char *request = orvel_build_wish_request_json(kDefaultBaseUrl, 1, "track", "hallelujah",
                                                "Hallelujah", "Mara Quince");
  const char *op = request != nullptr ? std::strstr(request, kExpectedOp) : nullptr;
  const bool passed = op != nullptr && std::strstr(op, kExpectedItemId) != nullptr;
  orvel_free(request);
  return passed ? 0 : 6;
}

}  // namespace
}  // namespace orvel

extern "C" ORVEL_API int32_t orvel_selftest(void) {
  orvel_store *store = orvel_create();
  if (store == nullptr) return 1;
  const int32_t result = orvel::run_steps(store);
  orvel_destroy(store);
  return result;
}
