#include "core/SettingsFile.h"
