#include <cli/tests/cli_test_support.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

using namespace cli_test;

// Quiet signals that never sum past full scale, each unlike the others and never 0, so that
// where a sound starts shows in the mix.
int16_t SampleA(long f, int c) { return static_cast<int16_t>(c ? 900 - f % 700 : f % 1000 - 400); }
int16_t SampleB(long f, int c) {
  return static_cast<int16_t>(c ? -(f % 333) - 7 : f * 7 % 2000 - 999);
}
int16_t SampleC(long f, int c) {
  return static_cast<int16_t>(c ? f % 91 + 3 : 1500 - f * 3 % 1200);
}
int16_t SampleD(long f, int c) {
  return static_cast<int16_t>(c ? -(f % 250) - 300 : f % 300 + 1000);
}

void WriteSound(const std::string& path, long ms, int16_t (*sample)(long, int)) {
  std::vector<int16_t> samples;
  for (long f = 0; f < ms * 441 / 10; ++f) {
    samples.push_back(sample(f, 0));
    samples.push_back(sample(f, 1));
  }
  WriteWave16(path, 44100, 2, samples);
}

// Frames of 16-bit stereo, as pairs of samples.
long Frames(const std::vector<int16_t>& samples) { return static_cast<long>(samples.size() / 2); }

class PlayCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    WriteSound(folder_.File("a.wav"), 1500, SampleA);
    WriteSound(folder_.File("b.wav"), 1000, SampleB);
    WriteSound(folder_.File("c.wav"), 500, SampleC);
    WriteSound(folder_.File("d.wav"), 600, SampleD);
    // Sounds at 0 and whole seconds, overlapping; the same with one more at an odd millisecond.
    ASSERT_EQ(folder_.Run({"new", "whole.sgp", "a.wav@0", "b.wav@1000", "c.wav@2000"}).status, 0);
    ASSERT_EQ(
        folder_.Run({"new", "odd.sgp", "a.wav@0", "b.wav@1000", "c.wav@2000", "d.wav@1337"}).status,
        0);
  }

  // quarl-cli with QUARL_AUDIO set to `audio` for this run only.
  Result Run(const std::string& audio, const std::vector<std::string>& args) {
    setenv("QUARL_AUDIO", audio.c_str(), 1);
    Result result = folder_.Run(args);
    unsetenv("QUARL_AUDIO");
    return result;
  }

  // Plays `args` into a wave file as fast as it mixes; its samples.
  std::vector<int16_t> Played(const std::vector<std::string>& args) {
    const std::string out = folder_.File("live-" + std::to_string(++plays_) + ".wav");
    Result play = Run("wav:out=" + out + ",fast", args);
    EXPECT_EQ(play.status, 0) << play.err;
    EXPECT_EQ(play.err, "") << "no position line without a terminal";
    const Wave wave = ReadWave(out);
    EXPECT_TRUE(wave.ok);
    EXPECT_EQ(wave.rate, 44100u);
    EXPECT_EQ(wave.channels, 2);
    EXPECT_EQ(wave.bits, 16);
    return wave.Samples16();
  }

  std::vector<int16_t> Rendered(const std::vector<std::string>& args) {
    const std::string out = "render-" + std::to_string(++plays_) + ".wav";
    std::vector<std::string> all = {"render"};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back(out);
    Result render = folder_.Run(all);
    EXPECT_EQ(render.status, 0) << render.err;
    return ReadWave(folder_.File(out)).Samples16();
  }

  Folder folder_;
  int plays_ = 0;
};

// Whether `pid` has a handler of its own for `signal` yet: quarl-cli installs them just before
// it loads what it plays.
bool Catches(pid_t pid, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("SigCgt:", 0) == 0)
      return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
  return false;
}

// Waits until quarl-cli `pid` has been playing for about `ms`.
void WaitWhilePlaying(pid_t pid, int ms) {
  for (int waited = 0; waited < 20000 && !Catches(pid, SIGINT); waited += 5)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The first frame from which `live` differs from `offline` over the offline length, -1 when it
// holds all of it; the device may play on past the end, with silence only.
long FirstDifference(const std::vector<int16_t>& live, const std::vector<int16_t>& offline) {
  for (size_t i = 0; i < live.size(); ++i) {
    const int16_t expected = i < offline.size() ? offline[i] : 0;
    if (live[i] != expected) return static_cast<long>(i / 2);
  }
  return live.size() < offline.size() ? Frames(live) : -1;
}

// Playing gives the offline render's samples: exactly for sounds at 0 and whole seconds, also
// from a --from start; a sound at an odd millisecond within one frame of where render puts it.
TEST_F(PlayCommand, PlaysTheSamplesTheRenderWrites) {
  const std::vector<int16_t> whole = Rendered({"whole.sgp"});
  ASSERT_EQ(Frames(whole), 2500 * 441 / 10);
  long at = FirstDifference(Played({"play", "whole.sgp"}), whole);
  EXPECT_EQ(at, -1) << "first difference at frame " << at;

  // From a start of whole frames (10 ms at 44.1 kHz) the later sounds stay on whole frames
  // too; from any other start they are placed as a sound at an odd millisecond is.
  const std::vector<int16_t> from = Rendered({"--from", "1230", "whole.sgp"});
  at = FirstDifference(Played({"play", "--from", "1230", "whole.sgp"}), from);
  EXPECT_EQ(at, -1) << "--from 1230: first difference at frame " << at;

  // A single sound is played as render wraps it, at 0.
  at = FirstDifference(Played({"play", "b.wav"}), Rendered({"b.wav"}));
  EXPECT_EQ(at, -1) << "b.wav: first difference at frame " << at;

  // What d adds to the mix, live and offline: d itself, each from a start of its own.
  const std::vector<int16_t> live = Played({"play", "odd.sgp"});
  const std::vector<int16_t> offline = Rendered({"odd.sgp"});
  ASSERT_EQ(offline.size(), whole.size());
  ASSERT_GE(live.size(), whole.size());
  const auto start_of_d = [&](const std::vector<int16_t>& mix) {
    long start = -1;
    for (long f = 0; f < Frames(whole); ++f) {
      for (int c = 0; c < 2; ++c) {
        const long i = 2 * f + c;
        const int added = mix[i] - whole[i];
        const long into_d = start < 0 ? 0 : f - start;
        if (start < 0 && added == 0) continue;
        if (start < 0) start = f;
        const int expected = into_d < 600 * 441 / 10 ? SampleD(into_d, c) : 0;
        if (added != expected) return -2 - f;  // not d alone, from one start
      }
    }
    return start;
  };
  const long offline_start = start_of_d(offline);
  const long live_start = start_of_d(live);
  EXPECT_GE(offline_start, 1337 * 441 / 10 - 1);
  EXPECT_LE(offline_start, 1337 * 441 / 10 + 1);
  EXPECT_LE(std::abs(live_start - offline_start), 1)
      << "live " << live_start << ", offline " << offline_start << " (-2 - F: wrong at frame F)";
}

// How play ends: at the end of the session, stopped by the user, or with one line saying why.
TEST_F(PlayCommand, ExitsWithTheStatusAndTheLineOfHowItEnded) {
  Result devices = Run("null", {"devices"});
  EXPECT_EQ(devices.status, 0) << devices.err;
  EXPECT_TRUE(Contains(devices.out, "null")) << devices.out;
  EXPECT_TRUE(Contains(devices.out, "*  0  null  ")) << devices.out;
  EXPECT_TRUE(Contains(devices.out, "(44100 Hz, 16-bit, stereo)")) << devices.out;

  Result play = Run("null", {"play", "--device", "1", "whole.sgp"});
  EXPECT_EQ(play.status, 2);
  EXPECT_EQ(play.err, "quarl-cli play: no output device 1 (see 'quarl-cli devices')\n");
  play = Run("null", {"play", "--from", "2500", "whole.sgp"});
  EXPECT_EQ(play.status, 1);
  EXPECT_TRUE(Contains(play.err, "--from 2500 is at or past the end (2500 ms); nothing played"))
      << play.err;
  play = Run("null", {"play", "gone.wav"});
  EXPECT_EQ(play.status, 1);
  EXPECT_TRUE(Contains(play.err, "1 sound(s) could not be loaded; nothing played")) << play.err;

  play = Run("no-such-backend", {"play", "whole.sgp"});
  EXPECT_EQ(play.status, 1);
  EXPECT_EQ(CountLines(play.err), 1) << play.err;
  EXPECT_TRUE(Contains(play.err, "quarl-cli: cannot play whole.sgp: ")) << play.err;
  EXPECT_TRUE(Contains(play.err, "no-such-backend")) << play.err;

  // A device that goes away a third of a second in.
  play = Run("null,fail-after=300", {"play", "whole.sgp"});
  EXPECT_EQ(play.status, 1);
  EXPECT_EQ(CountLines(play.err), 1) << play.err;
  EXPECT_TRUE(Contains(play.err, "quarl-cli: cannot play whole.sgp: the output device failed"))
      << play.err;

  // A machine too busy to feed the device in time (here: the whole process stopped for longer
  // than the buffers last) still plays to the end, and says how many gaps there were.
  setenv("QUARL_AUDIO", "null", 1);
  pid_t pid = folder_.Start({"play", "whole.sgp"});
  unsetenv("QUARL_AUDIO");
  ASSERT_GT(pid, 0);
  WaitWhilePlaying(pid, 400);
  kill(pid, SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  kill(pid, SIGCONT);
  play = folder_.Wait(pid);
  EXPECT_EQ(play.status, 0) << play.err;
  EXPECT_TRUE(Contains(play.err, "quarl-cli play: warning: the device had to fill ")) << play.err;

  // Ctrl-C in the middle of a long play on the clock-paced device.
  ASSERT_EQ(folder_.Run({"new", "long.sgp", "a.wav@0", "a.wav@60000"}).status, 0);
  setenv("QUARL_AUDIO", "null", 1);
  pid = folder_.Start({"play", "long.sgp"});
  unsetenv("QUARL_AUDIO");
  ASSERT_GT(pid, 0);
  WaitWhilePlaying(pid, 500);
  const auto signalled = std::chrono::steady_clock::now();
  kill(pid, SIGINT);
  play = folder_.Wait(pid);
  const auto took = std::chrono::steady_clock::now() - signalled;
  EXPECT_EQ(play.status, 0) << "-1: killed by the signal; " << play.err;
  EXPECT_EQ(play.err, "");
  EXPECT_LT(took, std::chrono::seconds(2));
}

// On a terminal: one line redrawn in place whose position never goes back, the space bar
// pauses and resumes, and the terminal is given back as it was.
TEST_F(PlayCommand, OnATerminalShowsThePositionAndPausesOnTheSpaceBar) {
  int terminal = -1;
  int child_side = -1;
  ASSERT_EQ(openpty(&terminal, &child_side, nullptr, nullptr, nullptr), 0);
  termios before{};
  ASSERT_EQ(tcgetattr(terminal, &before), 0);
  const std::string child_path = ttyname(child_side);
  close(child_side);

  // A session of its own, so that the terminal becomes quarl-cli's and it is in the foreground.
  std::vector<std::string> env_text = {"QUARL_AUDIO=null", "XDG_CACHE_HOME=" + folder_.CacheHome(),
                                       "TMPDIR=" + folder_.path()};
  std::vector<std::string> argv_text = {QUARL_CLI_PATH, "play", "whole.sgp"};
  std::vector<char*> env;
  std::vector<char*> args;
  for (std::string& e : env_text) env.push_back(e.data());
  for (std::string& a : argv_text) args.push_back(a.data());
  env.push_back(nullptr);
  args.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, folder_.path().c_str());
  for (int fd = 0; fd < 3; ++fd)
    posix_spawn_file_actions_addopen(&actions, fd, child_path.c_str(), O_RDWR, 0);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, QUARL_CLI_PATH, &actions, &attributes, args.data(), env.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);

  std::string shown;
  // Reads what quarl-cli draws until `done` holds, `ms` have passed or quarl-cli has gone (and
  // its side of the terminal with it).
  const auto read_until = [&](const std::function<bool()>& done, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < until) {
      pollfd in{terminal, POLLIN, 0};
      char text[256];
      ssize_t n = 0;
      if (poll(&in, 1, 20) > 0 && (n = read(terminal, text, sizeof text)) > 0)
        shown.append(text, n);
      if (n < 0) return;
    }
  };
  const auto never = [] { return false; };
  read_until([&] { return Contains(shown, " / 0:02.5"); }, 20000);
  termios playing{};
  ASSERT_EQ(tcgetattr(terminal, &playing), 0);
  EXPECT_EQ(playing.c_lflag & (ICANON | ECHO), 0u) << "keys are read one by one, unechoed";
  ASSERT_EQ(write(terminal, " ", 1), 1);
  read_until([&] { return Contains(shown, "  paused"); }, 20000);
  read_until(never, 300);
  ASSERT_EQ(write(terminal, " ", 1), 1);
  read_until(never, 30000);
  termios after{};
  ASSERT_EQ(tcgetattr(terminal, &after), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_TRUE(Contains(shown, " / 0:02.5  paused")) << shown;

  // Tenths of a second of every "\rM:SS.T / 0:02.5" drawn.
  std::vector<long> positions;
  for (size_t at = shown.find('\r'); at != std::string::npos; at = shown.find('\r', at + 1)) {
    long minutes = 0, seconds = 0, tenths = 0;
    if (sscanf(shown.c_str() + at, "\r%ld:%2ld.%1ld / 0:02.5", &minutes, &seconds, &tenths) == 3)
      positions.push_back(minutes * 600 + seconds * 10 + tenths);
  }
  ASSERT_GT(positions.size(), 5u) << shown;
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end())) << shown;
  EXPECT_GE(positions.back(), 20) << shown;
  EXPECT_TRUE(shown.ends_with("\r\033[K")) << "the line is cleared at the end";
}

}  // namespace
