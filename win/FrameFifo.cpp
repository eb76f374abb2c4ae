#include "win/FrameFifo.h"
