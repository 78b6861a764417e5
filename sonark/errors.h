#pragma once

#include <cstdint>

// Detail codes that the sound engine leaves in the thread's last-error value.
namespace sonark {

constexpr uint32_t kErrOutOfMemory = 0x20000001;

// Export converters.
constexpr uint32_t kErrConvertFormat = 0x20000500;         // target format not writable here
constexpr uint32_t kErrConverterUnavailable = 0x20000501;  // no converter for the type
constexpr uint32_t kErrConvertNotStarted = 0x20000502;     // not created, or no stream open
constexpr uint32_t kErrConvertWrite = 0x20000503;          // output not completely written

// Audio atom tree.
constexpr uint32_t kErrInvalidAtomArgument = 0x200000C0;  // null or foreign atom, cycle, bad span
constexpr uint32_t kErrTreeTooDeep = 0x200000C1;          // nesting beyond kMaxTreeDepth
constexpr uint32_t kErrNoCurrentMixer = 0x200000C2;       // nothing to play on
constexpr uint32_t kErrNotAvailable = 0x200000C3;         // not provided by this build yet
constexpr uint32_t kErrAlreadyPlaying = 0x200000C4;       // play refused, the atom is playing

}  // namespace sonark
