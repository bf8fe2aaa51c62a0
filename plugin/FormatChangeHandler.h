// The interface lives with the TV control object, which calls it; the plug-in implements it.
#pragma once

#include "tvctl/FormatChangeHandler.h"
