#pragma once

#include <string>
#include <string_view>

// Text that comes from a file (tags, INFO fields, names, paths) made safe to print on a
// terminal: control characters (C0, DEL and the C1 range, both as UTF-8 and as raw bytes) are
// shown as '?', so a file can never send escape sequences, carriage returns or bells to the
// user's terminal. Printable UTF-8 stays as it is; bytes that are not valid UTF-8 are shown as
// '?' too, since a terminal may take them for the start of a sequence.
std::string TerminalText(std::string_view text);
