#pragma once

// Marks the classes and functions that libutilities.so exports by name; everything else stays
// hidden.
#define UTILITIES_API __attribute__((visibility("default")))
