#pragma once

// UTF-8 text: every name QOVA keeps (cards, sound cards, players) is UTF-8 and is cut to a
// byte limit somewhere; a cut must never split a character.

#include <cstddef>
#include <string>
#include <string_view>

namespace core {

// The longest prefix of at most maxBytes bytes that does not end inside a UTF-8 character,
// so a cut valid text stays valid. On text that is not UTF-8 the cut goes back at most 3 bytes,
// else lands at maxBytes.
std::string cutUtf8(std::string_view text, std::size_t maxBytes);

}  // namespace core
