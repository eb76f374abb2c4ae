#include "tools/player/PlayerConsole.h"

namespace player {

void writeTo(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

void say(std::string_view text) {
    writeTo(stdout, text);
}

void complain(std::string_view text) {
    writeTo(stderr, "qova-player: " + std::string(text) + "\n");
}

}  // namespace player
