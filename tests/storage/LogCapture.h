// The log capture moved to tests/LogCapture.h; this name stays for the tests
// that still include it from here.
#pragma once

#include "../LogCapture.h"
