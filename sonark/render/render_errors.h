#pragma once

#include <cstdint>

// Codes that rendering a sound leaves in the thread's last-error value.
namespace sonark {

constexpr uint32_t kErrBufferCannotStart = 0x20000203;  // a sound's buffer cannot start a read
constexpr uint32_t kErrDecoderStream = 0x20000204;      // a decoder's stream cannot be enabled

}  // namespace sonark
