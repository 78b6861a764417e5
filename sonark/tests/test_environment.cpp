#include <cstdlib>

// The engine's tests never need a sound card: the clock-paced device that plays nothing stands
// in, whatever the developer's QUARL_AUDIO says, unless a test picks another device itself.
static const int kQuietAudio = setenv("QUARL_AUDIO", "null", 1);
