// SPDX-License-Identifier: MIT
// The user's taps in the crash test: tap i sets one of ten tracks, each
// flipping on every tenth tap, so that the last tap of each is known.
#ifndef ORVEL_CXX_CLIENT_TAP_SEQUENCE_HPP
#define ORVEL_CXX_CLIENT_TAP_SEQUENCE_HPP

#include <string>

namespace test {

constexpr int kTappedItems = 10;
inline std::string tapped_item(long tap) { return "tr-" + std::to_string(tap % kTappedItems); }
inline bool tapped_wish(long tap) { return (tap / kTappedItems) % 2 == 0; }

}  // namespace test

#endif
