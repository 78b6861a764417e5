#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// Runs the built quarl-cli on files a test writes into a fresh folder of its own.
namespace cli_test {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadText(const std::string& path) {
  Bytes bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline int CountLines(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Result {
  int status = -1;  // the exit status, or -1 when a signal ended the process
  std::string out;
  std::string err;
};

// A test's folder, which is also the working folder and $TMPDIR of every run; side files go
// to a cache folder beside it ($XDG_CACHE_HOME), and what the runs print is kept beside it
// too, so everything goes with it.
class Folder {
 public:
  Folder() {
    std::string pattern = (fs::temp_directory_path() / "quarl-cli-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    base_ = pattern;
    path_ = base_ + "/work";
    fs::create_directory(path_);
    fs::create_directory(base_ + "/output");
  }
  ~Folder() {
    std::error_code ignored;
    if (!base_.empty()) fs::remove_all(base_, ignored);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  const std::string& path() const { return path_; }
  // $XDG_CACHE_HOME of the runs; side files go below it, in tessel/.
  std::string CacheHome() const { return base_ + "/cache"; }
  void SetCacheHome(const std::string& path) { cache_ = path; }
  // A program (with its arguments) that runs quarl-cli, such as prlimit; empty for none.
  void SetLauncher(std::vector<std::string> launcher) { launcher_ = std::move(launcher); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  bool Exists(const std::string& name) const { return fs::exists(File(name)); }

  // Names in the folder (not below it) that start with '.', i.e. temporary files left over.
  std::vector<std::string> HiddenFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) {
      std::string name = entry.path().filename().string();
      if (!name.empty() && name[0] == '.') names.push_back(name);
    }
    return names;
  }

  // Starts quarl-cli with `args`; standard output and error go to files of the folder.
  pid_t Start(const std::vector<std::string>& args) {
    ++runs_;
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e)
      if (strncmp(*e, "TMPDIR=", 7) != 0 && strncmp(*e, "XDG_CACHE_HOME=", 15) != 0)
        env_text.emplace_back(*e);
    env_text.push_back("TMPDIR=" + path_);
    env_text.push_back("XDG_CACHE_HOME=" + (cache_.empty() ? CacheHome() : cache_));
    std::vector<char*> env;
    for (std::string& e : env_text) env.push_back(e.data());
    env.push_back(nullptr);

    std::vector<std::string> argv_text = launcher_;
    argv_text.push_back(QUARL_CLI_PATH);
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, path_.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, OutPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, ErrPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  Result Wait(pid_t pid) {
    Result result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
      result.status = WEXITSTATUS(status);
    result.out = ReadText(OutPath());
    result.err = ReadText(ErrPath());
    return result;
  }

  Result Run(const std::vector<std::string>& args) { return Wait(Start(args)); }

  // Runs quarl-cli with files limited to `bytes`: a write past that fails as on a full disk.
  Result RunWithFileSizeLimit(const std::vector<std::string>& args, long bytes) {
    rlimit old_limit{};
    if (getrlimit(RLIMIT_FSIZE, &old_limit) != 0) return Result{};
    rlimit small = old_limit;
    small.rlim_cur = static_cast<rlim_t>(bytes);
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const pid_t pid = Start(args);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, SIG_DFL);
    return Wait(pid);
  }

 private:
  std::string OutPath() const { return base_ + "/output/out-" + std::to_string(runs_); }
  std::string ErrPath() const { return base_ + "/output/err-" + std::to_string(runs_); }

  std::string base_;
  std::string path_;
  std::string cache_;
  std::vector<std::string> launcher_;
  int runs_ = 0;
};

inline void PutLe16(Bytes& out, uint32_t v) {
  out.push_back(static_cast<unsigned char>(v));
  out.push_back(static_cast<unsigned char>(v >> 8));
}

inline void PutLe32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

inline uint32_t GetLe32(const unsigned char* at) {
  return at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24;
}

// A 16-bit PCM wave file with interleaved `samples`.
inline void WriteWave16(const std::string& path, uint32_t rate, uint16_t channels,
                        const std::vector<int16_t>& samples) {
  const uint32_t data_size = static_cast<uint32_t>(samples.size() * 2);
  Bytes out;
  out.insert(out.end(), {'R', 'I', 'F', 'F'});
  PutLe32(out, 36 + data_size);
  out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutLe32(out, 16);
  PutLe16(out, 1);
  PutLe16(out, channels);
  PutLe32(out, rate);
  PutLe32(out, rate * channels * 2);
  PutLe16(out, channels * 2u);
  PutLe16(out, 16);
  out.insert(out.end(), {'d', 'a', 't', 'a'});
  PutLe32(out, data_size);
  for (int16_t s : samples) PutLe16(out, static_cast<uint16_t>(s));
  WriteBytes(path, out);
}

struct Wave {
  bool ok = false;
  uint16_t tag = 0;
  uint16_t channels = 0;
  uint32_t rate = 0;
  uint32_t bytes_per_second = 0;
  uint16_t block_align = 0;
  uint16_t bits = 0;
  Bytes data;

  std::vector<int16_t> Samples16() const {
    std::vector<int16_t> samples(data.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<int16_t>(data[2 * i] | data[2 * i + 1] << 8);
    return samples;
  }
};

// Reads the format and the samples of a wave file by walking its chunks.
inline Wave ReadWave(const std::string& path) {
  Wave wave;
  const Bytes file = ReadBytes(path);
  if (file.size() < 12 || memcmp(file.data(), "RIFF", 4) != 0 ||
      memcmp(file.data() + 8, "WAVE", 4) != 0)
    return wave;
  bool have_format = false;
  bool have_data = false;
  for (size_t at = 12; at + 8 <= file.size();) {
    const unsigned char* chunk = file.data() + at;
    const uint32_t size = GetLe32(chunk + 4);
    if (at + 8 + size > file.size()) return wave;
    if (memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
      const unsigned char* f = chunk + 8;
      wave.tag = static_cast<uint16_t>(f[0] | f[1] << 8);
      wave.channels = static_cast<uint16_t>(f[2] | f[3] << 8);
      wave.rate = GetLe32(f + 4);
      wave.bytes_per_second = GetLe32(f + 8);
      wave.block_align = static_cast<uint16_t>(f[12] | f[13] << 8);
      wave.bits = static_cast<uint16_t>(f[14] | f[15] << 8);
      have_format = true;
    } else if (memcmp(chunk, "data", 4) == 0) {
      wave.data.assign(chunk + 8, chunk + 8 + size);
      have_data = true;
    }
    at += 8 + size + (size & 1);
  }
  wave.ok = have_format && have_data;
  return wave;
}

inline bool Installed(const char* tool) {
  return std::system((std::string("command -v ") + tool + " > /dev/null 2>&1").c_str()) == 0;
}

}  // namespace cli_test
