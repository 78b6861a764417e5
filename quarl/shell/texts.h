#pragma once

#include <QString>

// The text of a key of the program's strings file ("quarl-strings.ini"), the key itself when
// the file or the key is missing. `size` bounds the text as the described buffers do.
QString Text(const char* key, int size = 1024);
