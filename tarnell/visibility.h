#pragma once

// Marks the classes and functions that libtarnell.so exports by name; everything else stays
// hidden.
#define TARNELL_API __attribute__((visibility("default")))
