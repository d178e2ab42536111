// The texts live in text/messages.h, below the platform layer; this name stays for the files
// that still include it from here.
#pragma once

#include "text/messages.h"
