#pragma once

#include <string>

// The engine's side files (peaks, seek maps) are caches: quarl-cli keeps them under the
// user's cache folder, ${XDG_CACHE_HOME:-~/.cache}/tessel/, never beside the user's sounds.
// When that folder cannot be made or written, side files are turned off (peaks are built in
// memory at every load) and the result is false with `warning` saying why.
bool UseSideFileCache(std::string* warning);

// The folder UseSideFileCache uses ("" when there is no home to put it in).
std::string SideFileCacheFolder();
