#pragma once

#include <platform/wave_format.h>
#include <sonark/visibility.h>

// Converts linear PCM (8 or 16 bits, 1 or 2 channels) to the destination's rate, channel
// count and width in one pass and adds it, saturating, into what the destination already
// holds; the caller prepares the destination (silence to take the samples as they are).
// Linear interpolation with the position in 1/2^27 frames. The first source frame only seeds
// the interpolation, so equal rates turn n source frames into n - 1 destination frames.
// Stereo into mono sums the channels; mono into stereo feeds both. Returns the destination
// bytes written (whole frames), 0 when a format is not one of the above.
SONARK_API long ResampleAddPCM(const unsigned char* source, long sourceBytes,
                               const tWAVEFORMATEX* sourceFormat, unsigned char* destination,
                               long destinationBytes, const tWAVEFORMATEX* destinationFormat);
