#include "core/text/Utf8.h"

namespace core {

namespace {

bool isUtf8Continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xc0) == 0x80;
}

}  // namespace

std::string cutUtf8(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return std::string(text);
    // text[cut] is the first byte left out. When it continues a character, that character
    // began before the cut and goes as a whole. A character has at most 3 continuation bytes;
    // a longer run is not UTF-8 and no cut point would make it so.
    std::size_t cut = maxBytes;
    for (int back = 0; back < 3 && cut > 0 && isUtf8Continuation(text[cut]); ++back) --cut;
    if (isUtf8Continuation(text[cut])) cut = maxBytes;
    return std::string(text.substr(0, cut));
}

}  // namespace core
