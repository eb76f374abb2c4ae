#include "win/DriftController.h"
