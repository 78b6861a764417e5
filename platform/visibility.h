#pragma once

// Marks the classes and functions that libplatform.so exports by name; everything else stays
// hidden.
#define PLATFORM_API __attribute__((visibility("default")))
