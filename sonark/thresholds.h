#pragma once

#include <sonark/visibility.h>

// Engine-wide thresholds of peak building: the level below which a sample counts as silence,
// and the partial-song threshold. Start values 0 and 12; start-up restores them.
SONARK_API void SetSilenceThreshold(unsigned long threshold);
SONARK_API unsigned long GetSilenceThreshold();
SONARK_API void SetPartialSongThreshold(int threshold);
SONARK_API int GetPartialSongThreshold();

constexpr unsigned long kDefaultSilenceThreshold = 0;
constexpr int kDefaultPartialSongThreshold = 12;
