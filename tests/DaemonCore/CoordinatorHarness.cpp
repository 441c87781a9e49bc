// The harness is header-only; this file gives the daemon's tests, which list it, its header.
#include "CoordinatorHarness.hpp"
