#include "win/Router.h"
