#pragma once

#include <benchmark/benchmark.h>
#include <sonark/load/initial_load.h>
#include <tarnell/file_obj.h>

#include <string>

// One first load of the sound at `path` with its length and peaks of `msPerPeak` (and the seek
// map when asked), as adding it to a session does. The load's result.
inline int LoadOnce(const std::string& path, int buildSeekMap, long msPerPeak) {
  CFileObj* file = new CFileObj;
  CRefObj* held = file;
  file->Open(path.c_str(), 0, 0);
  CInitialLoad load;
  const int result = load.DoInitialLoad(file, buildSeekMap, 1, 1, 0, msPerPeak, nullptr, nullptr);
  benchmark::DoNotOptimize(load.PeakMap());
  DeleteRefObject(&held);
  return result;
}
