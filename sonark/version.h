#pragma once

#include <sonark/visibility.h>

// The engine's version text, "major.minor.patch".
SONARK_API const char* SonarkVersionString();
