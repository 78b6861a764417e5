#pragma once

#include <cstdint>

// Detail codes that the data-access library leaves in the thread's last-error value.
namespace tarnell {

constexpr uint32_t kErrApplicationBit = 0x20000000;

constexpr uint32_t kErrOutOfMemory = 0x20000001;
constexpr uint32_t kErrSeekFailed = 0x20000080;         // seek out of range or failed
constexpr uint32_t kErrLevelHeaderRead = 0x20000081;    // list or level header unreadable
constexpr uint32_t kErrNotOpen = 0x20000083;            // object not open (or not writable)
constexpr uint32_t kErrInternetOnOpenFile = 0x20000084; // download into an open file
constexpr uint32_t kErrWriteFailed = 0x20000085;       // the disk refused written data (full)
constexpr uint32_t kErrCopyReopen = 0x200000BF;         // a copy could not reopen its file
constexpr uint32_t kErrRiffRead = 0x20000100;           // RIFF seek or read failed
constexpr uint32_t kErrNoSuchChunk = 0x20000101;        // no such, next or earlier chunk
constexpr uint32_t kErrNotRiff = 0x20000102;            // not a RIFF file
constexpr uint32_t kErrTooDeep = 0x20000103;            // lists nested deeper than 49 levels
constexpr uint32_t kErrNoInternetSession = 0x20001000;
constexpr uint32_t kErrNoDownload = 0x20001001;
constexpr uint32_t kErrRegNotFound = 0x20001100;        // no such registry key or value
constexpr uint32_t kErrRegDamaged = 0x20001101;         // settings file unreadable; set aside
constexpr uint32_t kErrRegIo = 0x20001102;              // settings file not readable or writable
constexpr uint32_t kErrRegInvalid = 0x20001103;         // bad key or value name or argument
constexpr uint32_t kErrRegBufferTooSmall = 0x20001104;  // enumerated name does not fit

}  // namespace tarnell
