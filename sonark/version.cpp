#include <sonark/version.h>

const char* SonarkVersionString() { return TESSEL_VERSION; }
