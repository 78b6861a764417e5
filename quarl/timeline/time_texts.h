#pragma once

#include <string>

// The texts of lengths and positions that the time line, its status panes and its dialogs
// show.

// "5.25 (secs)" below a minute, "2.50 (mins)" below an hour, "1.05 (hrs)" from an hour on.
std::string LengthText(long ms);

// "05:250" (seconds, milliseconds), "01:15:500" (minutes first), and with hours
// "01:02:03:004" in the long form or "01:02:03" without the milliseconds. Milliseconds are
// always three digits ("01:050").
std::string PositionText(long ms, bool long_form);
