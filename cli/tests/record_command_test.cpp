#include <cli/tests/cli_test_support.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

namespace {

using namespace cli_test;

// Stereo input with no silent sample, the channels unlike each other.
std::vector<int16_t> StereoInput(long frames) {
  std::vector<int16_t> samples;
  for (long f = 0; f < frames; ++f) {
    samples.push_back(static_cast<int16_t>(f % 997 + 1));
    samples.push_back(static_cast<int16_t>(-(f % 613) - 1));
  }
  return samples;
}

// The 8-bit value of frame f of MonoExactInput: both channels hold k x 256, which any mix to
// one channel and any cut to 8 bits keeps exactly as 128 + k (never 128, the silence).
int Mono8Value(long f) { return 128 + static_cast<int>((f % 100 + 1) * (f % 2 ? -1 : 1)); }

std::vector<int16_t> MonoExactInput(long frames) {
  std::vector<int16_t> samples;
  for (long f = 0; f < frames; ++f) {
    const auto s = static_cast<int16_t>((Mono8Value(f) - 128) * 256);
    samples.push_back(s);
    samples.push_back(s);
  }
  return samples;
}

// Where the data chunk's bytes start in a wave file; 0 when there is none.
size_t DataOffset(const Bytes& file) {
  for (size_t at = 12; at + 8 <= file.size(); at += 8 + GetLe32(&file[at + 4])) {
    if (memcmp(&file[at], "data", 4) == 0) return at + 8;
    if (GetLe32(&file[at + 4]) & 1) ++at;
  }
  return 0;
}

// What a command prints, trimmed, or "" when it fails.
std::string Output(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
    char line[512];
    while (fgets(line, sizeof line, pipe) != nullptr) text += line;
    if (pclose(pipe) != 0) return "";
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

class RecordCommand : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder_.path().empty()); }

  Result Run(const std::string& audio, const std::vector<std::string>& args) {
    setenv("QUARL_AUDIO", audio.c_str(), 1);
    Result result = folder_.Run(args);
    unsetenv("QUARL_AUDIO");
    return result;
  }

  // The recording at `name` holds exactly `expected` (samples of its own format) for as long
  // as both last, and nothing but silence after it.
  void ExpectInputThenSilence(const std::string& name, const Bytes& expected, int silence) {
    const Wave wave = ReadWave(folder_.File(name));
    ASSERT_TRUE(wave.ok) << name;
    const auto both = static_cast<long>(std::min(wave.data.size(), expected.size()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + both, wave.data.begin())) << name;
    EXPECT_EQ(std::find_if(wave.data.begin() + both, wave.data.end(),
                           [&](unsigned char b) { return b != silence; }),
              wave.data.end())
        << name << ": input after the file's end";
  }

  static Bytes Le16(const std::vector<int16_t>& samples) {
    Bytes bytes;
    for (int16_t s : samples) PutLe16(bytes, static_cast<uint16_t>(s));
    return bytes;
  }

  Folder folder_;
};

// The input arrives in the file sample for sample, in the format recorded (converted by the
// device), and alike while a session plays; --add puts the recording into the session where
// the input started, and the session opens with it.
TEST_F(RecordCommand, RecordsTheInputExactly) {
  const std::vector<int16_t> stereo = StereoInput(22050);
  WriteWave16(folder_.File("in.wav"), 44100, 2, stereo);
  const std::string fast_in = "wav:in=" + folder_.File("in.wav") + ",fast";

  // A missing folder is made.
  Result plain = Run(fast_in, {"record", "--seconds", "1", "takes/new/take.wav"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_TRUE(Contains(plain.out, "recorded ")) << plain.out;
  Wave take = ReadWave(folder_.File("takes/new/take.wav"));
  EXPECT_EQ(take.rate, 44100u);
  EXPECT_EQ(take.channels, 2);
  EXPECT_EQ(take.bits, 16);
  ASSERT_GE(take.data.size(), 176400u) << "a whole second";
  ExpectInputThenSilence("takes/new/take.wav", Le16(stereo), 0);

  WriteWave16(folder_.File("in22.wav"), 22050, 2, MonoExactInput(11025));
  Result small = Run("wav:in=" + folder_.File("in22.wav") + ",fast",
                     {"record", "--seconds", "0.75", "--rate", "22050", "--bits", "8", "--channels",
                      "1", "--overwrite", "takes/new/take.wav"});
  ASSERT_EQ(small.status, 0) << small.err;
  take = ReadWave(folder_.File("takes/new/take.wav"));
  EXPECT_EQ(take.rate, 22050u);
  EXPECT_EQ(take.channels, 1);
  EXPECT_EQ(take.bits, 8);
  ASSERT_GE(take.data.size(), 16537u) << "three quarters of a second";
  Bytes mono8;
  for (long f = 0; f < 11025; ++f) mono8.push_back(static_cast<unsigned char>(Mono8Value(f)));
  ExpectInputThenSilence("takes/new/take.wav", mono8, 128);

  // Over a session of one sound, playing into a file while the input is recorded; the sound is
  // long enough that a play which races ahead of the input still leaves the input room.
  WriteWave16(folder_.File("backing.wav"), 44100, 2, StereoInput(3 * 44100));
  ASSERT_EQ(folder_.Run({"new", "song.sgp", "backing.wav@0"}).status, 0);
  Result over =
      Run("wav:out=" + folder_.File("play.wav") + ",in=" + folder_.File("backing.wav") + ",fast",
          {"record", "--over", "song.sgp", "--add", "over.wav"});
  ASSERT_EQ(over.status, 0) << over.err;
  const std::vector<int16_t> backing = StereoInput(3 * 44100);
  EXPECT_GE(ReadWave(folder_.File("over.wav")).data.size(), 176400u);
  ExpectInputThenSilence("over.wav", Le16(backing), 0);
  EXPECT_TRUE(ReadWave(folder_.File("play.wav")).ok) << "the session played";
  const std::string added = "added to song.sgp at ";
  const size_t at = over.out.find(added);
  ASSERT_NE(at, std::string::npos) << over.out;
  const long offset = std::stol(over.out.substr(at + added.size()));

  Result info = folder_.Run({"info", "song.sgp"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(Contains(info.out, "sound backing.wav")) << info.out;
  EXPECT_TRUE(Contains(info.out, "sound over.wav")) << info.out;
  // The recording is placed at `offset`: the render of the session departs from the backing
  // sound there (within the frame that a millisecond falls in).
  ASSERT_EQ(folder_.Run({"render", "song.sgp", "mix.wav"}).status, 0);
  const std::vector<int16_t> mix = ReadWave(folder_.File("mix.wav")).Samples16();
  long first = 0;
  while (2 * first < static_cast<long>(mix.size()) &&
         mix[2 * first] == (2 * first < static_cast<long>(backing.size()) ? backing[2 * first] : 0))
    ++first;
  EXPECT_NEAR(static_cast<double>(first), offset * 44.1, 1.0) << "at " << offset << " ms";

  Result devices = Run(fast_in, {"devices"});
  ASSERT_EQ(devices.status, 0);
  EXPECT_TRUE(Contains(devices.out, "output devices (backend: wav)")) << devices.out;
  EXPECT_TRUE(Contains(devices.out, "input devices (backend: wav)")) << devices.out;
}

// A write that fails (a full disk) stops the recording with status 1 and keeps what was
// written as a wave file that sox reads; at worst that is an empty one.
TEST_F(RecordCommand, WriteFailureKeepsAValidFile) {
  if (!Installed("soxi")) GTEST_SKIP() << "sox is not installed";
  const std::vector<int16_t> stereo = StereoInput(88200);
  WriteWave16(folder_.File("in.wav"), 44100, 2, stereo);
  const std::string fast_in = "wav:in=" + folder_.File("in.wav") + ",fast";
  ASSERT_EQ(Run(fast_in, {"record", "--seconds", "0.5", "whole.wav"}).status, 0);
  const size_t header = DataOffset(ReadBytes(folder_.File("whole.wav")));
  ASSERT_GT(header, 0u);

  for (const long limit : {100000L, static_cast<long>(header)}) {
    SCOPED_TRACE(limit);
    setenv("QUARL_AUDIO", fast_in.c_str(), 1);
    Result cut =
        folder_.RunWithFileSizeLimit({"record", "--seconds", "2", "--overwrite", "cut.wav"}, limit);
    unsetenv("QUARL_AUDIO");
    EXPECT_EQ(cut.status, 1);
    // The limit holds for the captured messages too: a tight one cuts them short.
    if (limit > 1000) {
      EXPECT_TRUE(Contains(cut.err, "kept")) << cut.err;
    }
    const Wave wave = ReadWave(folder_.File("cut.wav"));
    ASSERT_TRUE(wave.ok) << "the sizes are those of what was written";
    EXPECT_LE(header + wave.data.size(), static_cast<size_t>(limit));
    const Bytes input = Le16(stereo);
    EXPECT_TRUE(std::equal(wave.data.begin(), wave.data.end(), input.begin()));
    const std::string samples = Output("soxi -s '" + folder_.File("cut.wav") + "'");
    ASSERT_FALSE(samples.empty()) << "soxi reads the file";
    EXPECT_EQ(std::stoul(samples), wave.data.size() / 4);
    if (limit == static_cast<long>(header)) {
      EXPECT_EQ(wave.data.size(), 0u);
    } else {
      EXPECT_GT(wave.data.size(), 0u);
    }
  }
}

// A recording killed outright leaves a file that our loader, sox and ffmpeg read, holding what
// was recorded until about a second before.
TEST_F(RecordCommand, KilledRecordingLeavesAReadableFile) {
  if (!Installed("sox") || !Installed("soxi") || !Installed("ffprobe"))
    GTEST_SKIP() << "sox or ffprobe is not installed";
  WriteWave16(folder_.File("in.wav"), 44100, 2, StereoInput(44100 * 6));
  setenv("QUARL_AUDIO", ("wav:in=" + folder_.File("in.wav")).c_str(), 1);
  const pid_t pid = folder_.Start({"record", "--seconds", "20", "live.wav"});
  unsetenv("QUARL_AUDIO");
  ASSERT_GT(pid, 0);
  // Until the sizes in the header, patched as the file grows, count a second of sound.
  const std::string live = folder_.File("live.wav");
  for (int waited = 0; waited < 10000; waited += 20) {
    const Bytes file = ReadBytes(live);
    const size_t data = DataOffset(file);
    if (data > 0 && GetLe32(&file[data - 4]) >= 176400) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  folder_.Wait(pid);

  EXPECT_EQ(folder_.Run({"info", "live.wav"}).status, 0);
  EXPECT_GE(std::stod("0" + Output("soxi -D '" + live + "'")), 1.0);
  EXPECT_GE(std::stod("0" + Output("ffprobe -v error -show_entries format=duration -of csv=p=0 '" +
                                   live + "'")),
            1.0);
  EXPECT_EQ(std::system(("sox -q '" + live + "' -n 2>/dev/null").c_str()), 0);
}

// Bad options are usage errors (2) and targets that must not be recorded into are refused
// (1), before any input starts and without touching the target.
TEST_F(RecordCommand, RefusesBadOptionsAndTargets) {
  fs::create_directory(folder_.File("folder"));
  ASSERT_EQ(mkfifo(folder_.File("fifo").c_str(), 0600), 0);
  fs::create_directory_symlink(folder_.File("folder"), folder_.File("folder-link"));
  fs::create_symlink(folder_.File("nothing"), folder_.File("dangling"));
  WriteBytes(folder_.File("old.wav"), {'o', 'l', 'd'});
  WriteWave16(folder_.File("sound.wav"), 44100, 2, StereoInput(100));
  fs::create_directory(folder_.File("locked"));
  fs::permissions(folder_.File("locked"), fs::perms::owner_read | fs::perms::owner_exec);

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  std::vector<Case> cases = {
      {{"--rate", "3999", "x.wav"}, 2, "4000 to 48000"},
      {{"--rate", "48001", "x.wav"}, 2, "4000 to 48000"},
      {{"--channels", "3", "x.wav"}, 2, "1 or 2"},
      {{"--bits", "24", "x.wav"}, 2, "8 or 16"},
      {{"--seconds", "0", "x.wav"}, 2, "above 0"},
      {{"--seconds", "-1", "x.wav"}, 2, "above 0"},
      {{"--seconds", "86400.5", "x.wav"}, 2, "86400"},
      {{"--seconds", "nan", "x.wav"}, 2, "--seconds"},
      {{"--seconds", "x.wav"}, 2, "bad value"},
      {{"--add", "x.wav"}, 2, "--over"},
      {{"x.wav", "y.wav"}, 2, "more than OUT.wav"},
      {{"--loud", "x.wav"}, 2, "unknown option"},
      {{"--device", "1", "x.wav"}, 2, "no input device 1"},
      {{"folder"}, 1, "is a folder"},
      {{"folder-link"}, 1, "is a link to a folder"},
      {{"dangling"}, 1, "does not exist"},
      {{"fifo"}, 1, "FIFO"},
      {{"/dev/null"}, 1, "device"},
      {{"old.wav"}, 1, "--overwrite"},
      {{"--over", "sound.wav", "--add", "x.wav"}, 1, "not a session"},
      {{"--seconds", "86400", "--rate", "48000", "x.wav"}, 1, "4 GB"},
  };
  // The superuser writes into read-only folders; the engine cannot make a file in /proc,
  // and would record into memory instead.
  if (geteuid() != 0) cases.push_back({{"locked/x.wav"}, 1, "read-only"});
  if (geteuid() == 0) cases.push_back({{"/proc/x.wav"}, 1, "cannot be created"});
  for (const Case& c : cases) {
    std::vector<std::string> args = {"record"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(args.back());
    const Result result = Run("null", args);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_TRUE(Contains(result.err, c.says)) << result.err;
    EXPECT_EQ(CountLines(result.err), 1) << result.err;
  }
  EXPECT_FALSE(folder_.Exists("x.wav"));
  EXPECT_FALSE(folder_.Exists("nothing"));
  EXPECT_EQ(ReadText(folder_.File("old.wav")), "old");
}

}  // namespace
