#pragma once

#include <sonark/visibility.h>

#include <cstdint>
#include <span>
#include <string>

// Words for the codes the engine and the libraries under it leave in the last-error value,
// for the command line and the program to show. One table for every front end, so that a
// code means the same to every user.
namespace sonark {

struct ErrorMessageEntry {
  uint32_t code;
  const char* text;  // lower case, no final full stop: "file not found"
};

// Every code of the engine (sonark/errors.h) and of the data-access library (tarnell/errors.h)
// with its text, in no particular order.
SONARK_API std::span<const ErrorMessageEntry> ErrorMessages();

// The text of a named code, or null when the table does not know it.
SONARK_API const char* ErrorMessage(uint32_t code);

// A text for any last-error value: the table's, the system's own for a system error number
// (no application bit), else "error 0x2000XXXX".
SONARK_API std::string DescribeErrorCode(unsigned long code);

}  // namespace sonark
