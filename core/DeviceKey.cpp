#include "core/DeviceKey.h"
