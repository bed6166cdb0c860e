#include "plugintest.h"
