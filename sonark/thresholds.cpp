#include <sonark/thresholds.h>

#include <atomic>

namespace {

// Set by the program's thread, read by loads on the background thread.
std::atomic<unsigned long> g_silence_threshold{kDefaultSilenceThreshold};
std::atomic<int> g_partial_song_threshold{kDefaultPartialSongThreshold};

}  // namespace

void SetSilenceThreshold(unsigned long threshold) { g_silence_threshold = threshold; }
unsigned long GetSilenceThreshold() { return g_silence_threshold; }
void SetPartialSongThreshold(int threshold) { g_partial_song_threshold = threshold; }
int GetPartialSongThreshold() { return g_partial_song_threshold; }
