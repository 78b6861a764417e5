#include <fcntl.h>
#include <platform/fd_io.h>
#include <sys/resource.h>
#include <tarnell/log.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

namespace {

// Guards everything below except the flags that callers poll.
std::mutex g_log_lock;
std::string g_path;
int g_fd = -1;
std::atomic<bool> g_initialised{false};
std::atomic<bool> g_on{false};
std::atomic<LogTimeSource> g_time_source{nullptr};

void LocalTime(LogTime* now) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm local;
  localtime_r(&ts.tv_sec, &local);
  *now = LogTime{local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ts.tv_nsec / 1000000)};
}

void CloseLocked() {
  if (g_fd >= 0) ::close(g_fd);
  g_fd = -1;
}

// The amounts of a "/proc" file of "Name:   123 kB" lines, in bytes.
std::map<std::string, double> ReadKilobyteTable(const char* path) {
  std::map<std::string, double> table;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    double amount;
    char unit[8] = "";
    if (sscanf(line.c_str() + colon + 1, "%lf %7s", &amount, unit) < 1) continue;
    table[line.substr(0, colon)] = strcmp(unit, "kB") == 0 ? amount * 1024.0 : amount;
  }
  return table;
}

}  // namespace

void LogInit(const char* path) {
  std::lock_guard<std::mutex> guard(g_log_lock);
  CloseLocked();
  g_path = path ? path : "";
  g_initialised = true;
}

void LogDeinit() {
  std::lock_guard<std::mutex> guard(g_log_lock);
  if (!g_initialised) return;
  g_initialised = false;
  CloseLocked();
  g_path.clear();
}

void LogOn(int on) { g_on = on != 0; }

int LoggingNow() { return g_initialised && g_on ? 1 : 0; }

void Log(const char* text) {
  if (!g_on) return;
  std::lock_guard<std::mutex> guard(g_log_lock);
  if (!g_initialised) return;
  if (g_fd < 0) {
    // O_APPEND keeps each line's single write whole even if another process shares the file.
    g_fd = ::open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (g_fd < 0) return;
  }
  LogTime now;
  if (LogTimeSource source = g_time_source.load()) {
    source(&now);
  } else {
    LocalTime(&now);
  }
  char prefix[64];
  snprintf(prefix, sizeof prefix, "%02d:%02d:%02d [%d mils] : ", now.hour, now.minute, now.second,
           now.millisecond);
  std::string line = prefix;
  if (text) line += text;
  line += '\n';
  platform::write_all(g_fd, line);
}

void LogCurrentMemory() {
  if (!LoggingNow()) return;
  auto machine = ReadKilobyteTable("/proc/meminfo");
  auto process = ReadKilobyteTable("/proc/self/status");
  double total = machine["MemTotal"];
  double available = machine.count("MemAvailable") ? machine["MemAvailable"] : machine["MemFree"];
  double commit_total = machine["CommitLimit"];
  double commit_free = commit_total - machine["Committed_AS"];
  if (commit_free < 0) commit_free = 0;
  // Without a limit the address space is what the 64-bit user half of the memory map holds.
  double space_total = 140737488355328.0;
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    space_total = static_cast<double>(limit.rlim_cur);
  }
  double space_free = space_total - process["VmSize"];
  if (space_free < 0) space_free = 0;
  int in_use = total > 0 ? static_cast<int>((total - available) * 100.0 / total) : 0;

  const double mb = 1e-6;
  char line[160];
  snprintf(line, sizeof line, "Mem in use percentage = %d %%", in_use);
  Log(line);
  snprintf(line, sizeof line, "Free physical : %0.2f MB, Total physical : %0.2f MB", available * mb,
           total * mb);
  Log(line);
  snprintf(line, sizeof line, "Free paging file : %0.2f MB, Total paging file : %0.2f MB",
           commit_free * mb, commit_total * mb);
  Log(line);
  snprintf(line, sizeof line, "Free virtual : %0.2f MB, Total virtual : %0.2f MB", space_free * mb,
           space_total * mb);
  Log(line);
  snprintf(line, sizeof line, "Process resident : %0.2f MB, Peak resident : %0.2f MB",
           process["VmRSS"] * mb, process["VmHWM"] * mb);
  Log(line);
}

void LogSetTimeSource(LogTimeSource source) { g_time_source = source; }
