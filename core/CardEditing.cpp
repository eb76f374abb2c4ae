#include "core/CardEditing.h"
