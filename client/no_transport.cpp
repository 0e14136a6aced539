// SPDX-License-Identifier: MIT
// Built without libcurl: no default transport; the app passes its own.
#include "orvel/client.hpp"

namespace orvel {

std::shared_ptr<Transport> make_default_transport() { return nullptr; }

}  // namespace orvel
