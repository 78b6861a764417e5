#include <cli/open_files.h>
#include <dirent.h>
#include <sys/resource.h>

void RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

long OpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

bool OpenFilesExhausted() {
  const long limit = OpenFileLimit();
  DIR* dir = opendir("/proc/self/fd");
  // No folder to count in: the limit was reached if even that cannot be opened.
  if (dir == nullptr) return limit > 0;
  long open = -1;  // the folder's own descriptor
  while (readdir(dir) != nullptr) ++open;
  closedir(dir);
  open -= 2;  // "." and ".."
  // A few descriptors go to short-lived files (side files, the session) between sounds.
  return limit > 0 && open + 8 >= limit;
}
