#pragma once

#include <sonark/visibility.h>

class CPCMMixer;

// The process-wide mixer that Play hands atoms to; null while there is none.
SONARK_API CPCMMixer* GetCurrentMixer();
SONARK_API void SetCurrentMixer(CPCMMixer* mixer);
