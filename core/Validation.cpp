#include "core/Validation.h"
