// miniaudio's implementation: WASAPI and the null backend, playback only, nothing else.
#define MINIAUDIO_IMPLEMENTATION
#include "miniaudio.h"
