#include "win/DelayLine.h"
