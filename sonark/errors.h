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

}  // namespace sonark
