#pragma once

// Marks the classes and functions that libsonark.so exports by name; everything else stays
// hidden.
#define SONARK_API __attribute__((visibility("default")))
