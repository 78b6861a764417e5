#include <cli/tests/cli_test_support.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>

namespace {

using namespace cli_test;

// Two sounds with known samples: A (1000 ms) at 0 and B (1000 ms) at 500 ms, stereo 44.1 kHz.
// Sounds mix at unit gain, so the output is their plain sum wherever they overlap.
int16_t SampleA(long frame, int channel) {
  return static_cast<int16_t>(channel == 0 ? frame % 5000 - 2500 : 3000 - frame % 1500);
}
int16_t SampleB(long frame, int channel) {
  return static_cast<int16_t>(channel == 0 ? (frame * 3) % 7000 - 3500 : -(frame % 999));
}

constexpr long kFrames = 44100;        // each sound lasts one second
constexpr long kOffsetFrames = 22050;  // B starts at 500 ms

void WriteStaircase(const std::string& path, int16_t (*sample)(long, int)) {
  std::vector<int16_t> samples;
  for (long f = 0; f < kFrames; ++f) {
    samples.push_back(sample(f, 0));
    samples.push_back(sample(f, 1));
  }
  WriteWave16(path, 44100, 2, samples);
}

int16_t Expected(long frame, int channel) {
  int sum = 0;
  if (frame < kFrames) sum += SampleA(frame, channel);
  if (frame >= kOffsetFrames && frame < kOffsetFrames + kFrames)
    sum += SampleB(frame - kOffsetFrames, channel);
  return static_cast<int16_t>(sum);
}

// The first frame in which `samples` (stereo, starting at `first_frame`) differ from the
// expected mix, or -1.
long FirstDifference(const std::vector<int16_t>& samples, long first_frame) {
  for (size_t i = 0; i < samples.size(); ++i) {
    const long frame = first_frame + static_cast<long>(i / 2);
    if (samples[i] != Expected(frame, static_cast<int>(i % 2))) return frame;
  }
  return -1;
}

class RenderCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    WriteStaircase(folder_.File("a.wav"), SampleA);
    WriteStaircase(folder_.File("b.wav"), SampleB);
    Result made = folder_.Run({"new", "s.sgp", "a.wav@0", "b.wav@500"});
    ASSERT_EQ(made.status, 0) << made.err;
  }

  Folder folder_;
};

TEST_F(RenderCommand, WritesTheExactSumOfTheSounds) {
  Result render = folder_.Run({"render", "s.sgp", "out.wav"});
  ASSERT_EQ(render.status, 0) << render.err;
  EXPECT_EQ(render.err, "") << "no progress bar without a terminal";
  const Wave wave = ReadWave(folder_.File("out.wav"));
  ASSERT_TRUE(wave.ok);
  EXPECT_EQ(wave.tag, 1);
  EXPECT_EQ(wave.channels, 2);
  EXPECT_EQ(wave.rate, 44100u);
  EXPECT_EQ(wave.bits, 16);
  const std::vector<int16_t> samples = wave.Samples16();
  ASSERT_EQ(samples.size(), static_cast<size_t>((kOffsetFrames + kFrames) * 2));
  const long at = FirstDifference(samples, 0);
  EXPECT_EQ(at, -1) << "first difference at frame " << at;
  EXPECT_TRUE(folder_.HiddenFiles().empty());
}

TEST_F(RenderCommand, FromAndToCutTheTimeLineExactly) {
  Result render = folder_.Run({"render", "s.sgp", "cut.wav", "--from", "250", "--to", "1250"});
  ASSERT_EQ(render.status, 0) << render.err;
  const std::vector<int16_t> samples = ReadWave(folder_.File("cut.wav")).Samples16();
  ASSERT_EQ(samples.size(), static_cast<size_t>(44100 * 2));
  const long at = FirstDifference(samples, 11025);
  EXPECT_EQ(at, -1) << "first difference at frame " << at;

  // Without --to the render runs to the end of the last sound.
  render = folder_.Run({"render", "s.sgp", "tail.wav", "--from", "1000"});
  ASSERT_EQ(render.status, 0) << render.err;
  const std::vector<int16_t> tail = ReadWave(folder_.File("tail.wav")).Samples16();
  ASSERT_EQ(tail.size(), static_cast<size_t>(22050 * 2));
  EXPECT_EQ(FirstDifference(tail, 44100), -1);
}

TEST_F(RenderCommand, WritesTheFormatTheOptionsAskFor) {
  struct Case {
    std::vector<std::string> options;
    uint16_t channels;
    uint32_t rate;
    uint16_t bits;
    size_t bytes;
  };
  const std::vector<Case> cases = {
      {{"--rate", "16000", "--channels", "1", "--bits", "16"}, 1, 16000, 16, 24000 * 2},
      {{"--rate", "8000", "--bits", "8"}, 2, 8000, 8, 12000 * 2},
      {{"--channels", "1", "--bits", "8", "--from", "200", "--to", "700"}, 1, 44100, 8, 22050},
      {{"--rate", "48000", "--to", "100"}, 2, 48000, 16, 4800 * 4},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"render", "s.sgp", "f.wav"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    SCOPED_TRACE(args[3] + " " + args[4]);
    Result render = folder_.Run(args);
    ASSERT_EQ(render.status, 0) << render.err;
    const Wave wave = ReadWave(folder_.File("f.wav"));
    ASSERT_TRUE(wave.ok);
    EXPECT_EQ(wave.tag, 1);
    EXPECT_EQ(wave.channels, c.channels);
    EXPECT_EQ(wave.rate, c.rate);
    EXPECT_EQ(wave.bits, c.bits);
    EXPECT_EQ(wave.block_align, c.channels * c.bits / 8);
    EXPECT_EQ(wave.bytes_per_second, c.rate * wave.block_align);
    EXPECT_EQ(wave.data.size(), c.bytes);
    const unsigned char silence = c.bits == 8 ? 128 : 0;
    EXPECT_TRUE(std::any_of(wave.data.begin(), wave.data.end(), [silence](unsigned char b) {
      return b != silence;
    })) << "the render is silent";
  }
}

TEST_F(RenderCommand, RendersASingleSound) {
  Result render = folder_.Run({"render", "b.wav", "one.wav", "--to", "300"});
  ASSERT_EQ(render.status, 0) << render.err;
  const std::vector<int16_t> samples = ReadWave(folder_.File("one.wav")).Samples16();
  ASSERT_EQ(samples.size(), static_cast<size_t>(13230 * 2));
  for (size_t i = 0; i < samples.size(); ++i)
    ASSERT_EQ(samples[i], SampleB(static_cast<long>(i / 2), static_cast<int>(i % 2))) << i;
}

TEST_F(RenderCommand, RefusesWhenASoundIsMissingAndKeepsTheOldOutput) {
  std::filesystem::remove(folder_.File("b.wav"));
  WriteBytes(folder_.File("old.wav"), {'o', 'l', 'd'});
  for (const char* out : {"new.wav", "old.wav"}) {
    SCOPED_TRACE(out);
    Result render = folder_.Run({"render", "s.sgp", out});
    EXPECT_EQ(render.status, 1);
    EXPECT_TRUE(Contains(render.err, folder_.File("b.wav"))) << render.err;
    EXPECT_FALSE(Contains(render.err, "a.wav")) << render.err;
  }
  EXPECT_FALSE(folder_.Exists("new.wav"));
  EXPECT_EQ(ReadBytes(folder_.File("old.wav")), Bytes({'o', 'l', 'd'}));
  EXPECT_TRUE(folder_.HiddenFiles().empty());

  Result render = folder_.Run({"render", "gone.wav", "x.wav"});
  EXPECT_EQ(render.status, 1);
  EXPECT_TRUE(Contains(render.err, "gone.wav")) << render.err;
  EXPECT_FALSE(folder_.Exists("x.wav"));
}

TEST_F(RenderCommand, RefusesBadOptionsAsUsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {"render", "s.sgp"},
      {"render", "s.sgp", "o.wav", "extra.wav"},
      {"render", "s.sgp", "o.wav", "--rate", "4000"},
      {"render", "s.sgp", "o.wav", "--rate", "44.1k"},
      {"render", "s.sgp", "o.wav", "--channels", "3"},
      {"render", "s.sgp", "o.wav", "--bits", "12"},
      {"render", "s.sgp", "o.wav", "--from", "-1"},
      {"render", "s.sgp", "o.wav", "--from", "500", "--to", "500"},
      {"render", "s.sgp", "o.wav", "--to"},
      {"render", "s.sgp", "o.wav", "--gain", "2"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(args.size() > 3 ? args[3] : args.back());
    Result render = folder_.Run(args);
    EXPECT_EQ(render.status, 2);
    EXPECT_EQ(CountLines(render.err), 1) << render.err;
  }
  EXPECT_TRUE(Contains(folder_.Run(bad[7]).err, "--to 500 is not after --from 500"));

  // Nothing to render is a failure with its reason, not an empty wave.
  for (const char* from : {"1500", "99999"}) {
    Result render = folder_.Run({"render", "s.sgp", "o.wav", "--from", from});
    EXPECT_EQ(render.status, 1) << from;
    EXPECT_TRUE(Contains(render.err, "past the end (1500 ms)")) << render.err;
    EXPECT_EQ(CountLines(render.err), 1) << render.err;
  }
  EXPECT_FALSE(folder_.Exists("o.wav"));

  // After '--' a name that looks like an option is a file.
  Result render = folder_.Run({"render", "--", "s.sgp", "--to"});
  EXPECT_EQ(render.status, 0) << render.err;
  EXPECT_TRUE(ReadWave(folder_.File("--to")).ok);
}

// The output is replaced only where replacing is right: a link is followed and stays, a
// file keeps its permissions, a read-only file or a folder is refused, a device or FIFO is
// written directly (a wave streamed there has its sizes marked unknown).
TEST_F(RenderCommand, WritesThroughLinksDevicesAndFifosAndKeepsPermissions) {
  ASSERT_EQ(folder_.Run({"render", "s.sgp", "plain.wav"}).status, 0);
  const Bytes plain = ReadBytes(folder_.File("plain.wav"));
  const Bytes plain_data = ReadWave(folder_.File("plain.wav")).data;
  auto data_of = [&](const std::string& name) { return ReadWave(folder_.File(name)).data; };
  namespace fs = std::filesystem;

  fs::create_directory(folder_.File("real"));
  fs::create_symlink("real/target.wav", folder_.File("link.wav"));
  fs::create_symlink("real/later.wav", folder_.File("dangling.wav"));
  WriteBytes(folder_.File("real/target.wav"), {'o', 'l', 'd'});
  for (const char* link : {"link.wav", "dangling.wav"}) {
    SCOPED_TRACE(link);
    Result render = folder_.Run({"render", "s.sgp", link});
    ASSERT_EQ(render.status, 0) << render.err;
    EXPECT_TRUE(fs::is_symlink(folder_.File(link)));
  }
  EXPECT_EQ(data_of("real/target.wav"), plain_data);
  EXPECT_EQ(data_of("real/later.wav"), plain_data);

  WriteBytes(folder_.File("private.wav"), {'o', 'l', 'd'});
  fs::permissions(folder_.File("private.wav"), fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(folder_.Run({"render", "s.sgp", "private.wav"}).status, 0);
  EXPECT_EQ(data_of("private.wav"), plain_data);
  EXPECT_EQ(fs::status(folder_.File("private.wav")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  WriteBytes(folder_.File("locked.wav"), {'o', 'l', 'd'});
  fs::permissions(folder_.File("locked.wav"), fs::perms::owner_read | fs::perms::group_read);
  Result render = folder_.Run({"render", "s.sgp", "locked.wav"});
  EXPECT_EQ(render.status, 1);
  EXPECT_TRUE(Contains(render.err, "read-only")) << render.err;
  EXPECT_EQ(ReadBytes(folder_.File("locked.wav")), Bytes({'o', 'l', 'd'}));
  EXPECT_EQ(folder_.Run({"render", "s.sgp", "real"}).status, 1);

  // A name as long as a name may be still leaves room for the temporary name.
  const std::string long_name = std::string(246, 'n') + ".wav";
  render = folder_.Run({"render", "s.sgp", long_name});
  EXPECT_EQ(render.status, 0) << render.err;
  EXPECT_EQ(data_of(long_name), plain_data);

  render = folder_.Run({"render", "s.sgp", "/dev/null"});
  EXPECT_EQ(render.status, 0) << render.err;
  EXPECT_TRUE(fs::is_character_file("/dev/null"));

  ASSERT_EQ(mkfifo(folder_.File("pipe").c_str(), 0600), 0);
  Bytes streamed;
  std::thread reader([&] { streamed = ReadBytes(folder_.File("pipe")); });
  render = folder_.Run({"render", "s.sgp", "pipe"});
  reader.join();
  EXPECT_EQ(render.status, 0) << render.err;
  EXPECT_TRUE(fs::is_fifo(folder_.File("pipe")));
  ASSERT_EQ(streamed.size(), 46 + plain_data.size());
  EXPECT_EQ(GetLe32(&streamed[4]), 0xFFFFFFFFu);
  EXPECT_TRUE(std::equal(streamed.begin() + 8, streamed.begin() + 42, plain.begin() + 8));
  EXPECT_EQ(GetLe32(&streamed[42]), 0xFFFFFFFFu);
  EXPECT_TRUE(std::equal(streamed.begin() + 46, streamed.end(), plain_data.begin()));

  // A reader that goes away stops the render as Ctrl-C does, with its reason.
  std::thread quitter([&] {
    int fd = open(folder_.File("pipe").c_str(), O_RDONLY);
    char head[16];
    EXPECT_EQ(read(fd, head, sizeof head), 16);
    close(fd);
  });
  render = folder_.Run({"render", "s.sgp", "pipe"});
  quitter.join();
  EXPECT_EQ(render.status, 1);
  EXPECT_TRUE(Contains(render.err, "the reader of the output went away")) << render.err;
  EXPECT_TRUE(folder_.HiddenFiles().empty());
}

// A write the disk refuses, while the sound data goes out or at the closing chunks, fails
// the render and deletes the partial file. A file size limit makes write() fail at a chosen
// size, as a full disk does.
TEST_F(RenderCommand, ARefusedWriteFailsAndLeavesNoPartialFile) {
  ASSERT_EQ(folder_.Run({"render", "s.sgp", "whole.wav"}).status, 0);
  const long data_end = 46 + 66150 * 4;  // headers and the sound data, before the INFO list
  for (long limit : {data_end / 2, data_end + 10}) {
    SCOPED_TRACE(limit);
    Result render = folder_.RunWithFileSizeLimit({"render", "s.sgp", "out.wav"}, limit);
    EXPECT_EQ(render.status, 1) << render.err;
    EXPECT_EQ(CountLines(render.err), 1) << render.err;
    EXPECT_TRUE(Contains(render.err, "partial file deleted")) << render.err;
    EXPECT_FALSE(folder_.Exists("out.wav"));
    EXPECT_TRUE(folder_.HiddenFiles().empty());
  }
}

// What a wave file or the disk cannot hold is refused before anything is written.
TEST_F(RenderCommand, RefusesARenderTooLargeForAWaveFileOrTheDisk) {
  ASSERT_EQ(folder_.Run({"new", "far.sgp", "a.wav@2000000000"}).status, 0);
  Result render = folder_.Run({"render", "far.sgp", "far.wav"});
  EXPECT_EQ(render.status, 1);
  EXPECT_TRUE(Contains(render.err, "more than a wave file can hold (4 GB)")) << render.err;
  EXPECT_FALSE(folder_.Exists("far.wav"));
  EXPECT_TRUE(folder_.HiddenFiles().empty());

  // A small disk of its own, where this test may mount one.
  const std::string disk = folder_.File("disk");
  std::filesystem::create_directory(disk);
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=128k") != 0)
    GTEST_SKIP() << "no small disk to fill: " << strerror(errno);
  render = folder_.Run({"render", "s.sgp", "disk/out.wav"});
  umount2(disk.c_str(), MNT_DETACH);
  EXPECT_EQ(render.status, 1);
  EXPECT_TRUE(Contains(render.err, "but the disk has")) << render.err;
}

// Temporary files of renders that were killed outright are swept by a later render; those
// of live processes and files that are not ours stay.
TEST_F(RenderCommand, SweepsTheLeftoversOfKilledRenders) {
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  waitpid(dead, nullptr, 0);
  const std::string gone = ".old.wav.tmp-" + std::to_string(dead);
  const std::string live = ".busy.wav.tmp-" + std::to_string(getpid());
  const std::string foreign = ".notes.txt.tmp-" + std::to_string(dead);
  WriteBytes(folder_.File(gone), {'R', 'I', 'F', 'F', 0, 0, 0, 0});
  WriteBytes(folder_.File(live), {'R', 'I', 'F', 'F', 0, 0, 0, 0});
  WriteBytes(folder_.File(foreign), {'n', 'o', 't', 'e'});
  const std::string gone_mp3 = ".old.mp3.tmp-" + std::to_string(dead);
  WriteBytes(folder_.File(gone_mp3), {'I', 'D', '3', 3, 0, 0, 0, 0});
  ASSERT_EQ(folder_.Run({"render", "s.sgp", "out.wav"}).status, 0);
  EXPECT_FALSE(folder_.Exists(gone));
  EXPECT_FALSE(folder_.Exists(gone_mp3));
  EXPECT_TRUE(folder_.Exists(live));
  EXPECT_TRUE(folder_.Exists(foreign));
}

// Ctrl-C, SIGTERM and SIGHUP stop a render through its cancel path: the partial file goes, a
// file of the same name from before stays.
TEST(RenderInterrupt, StopsAndDeletesThePartialFile) {
  Folder folder;
  ASSERT_FALSE(folder.path().empty());
  // A minute of 8 kHz mono placed two thousand times, forty at once: seconds of work, far
  // longer than the test lets it run.
  std::vector<int16_t> minute(8000 * 60);
  for (size_t i = 0; i < minute.size(); ++i) minute[i] = static_cast<int16_t>(i % 200 * 50);
  WriteWave16(folder.File("m.wav"), 8000, 1, minute);
  std::vector<std::string> args = {"new", "long.sgp"};
  for (int i = 0; i < 2000; ++i) args.push_back("m.wav@" + std::to_string(i * 1500));
  ASSERT_EQ(folder.Run(args).status, 0);
  WriteBytes(folder.File("out.wav"), {'k', 'e', 'e', 'p'});

  const std::pair<int, const char*> signals[] = {
      {SIGINT, "interrupted"}, {SIGTERM, "terminated"}, {SIGHUP, "hung up"}};
  for (const auto& [signal, reason] : signals) {
    SCOPED_TRACE(reason);
    pid_t pid = folder.Start(
        {"render", "long.sgp", "out.wav", "--rate", "8000", "--channels", "1", "--bits", "8"});
    ASSERT_GT(pid, 0);
    // Interrupt once the render has begun writing.
    bool writing = false;
    for (int waited = 0; waited < 20000 && !writing; waited += 5) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      writing = !folder.HiddenFiles().empty();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(pid, signal);
    Result render = folder.Wait(pid);
    ASSERT_TRUE(writing) << "the render never started writing";
    EXPECT_EQ(render.status, 1) << "-1: killed by the signal; 0: finished before it";
    EXPECT_TRUE(Contains(render.err, reason)) << render.err;
    EXPECT_EQ(ReadBytes(folder.File("out.wav")), Bytes({'k', 'e', 'e', 'p'}));
    EXPECT_TRUE(folder.HiddenFiles().empty());
  }
}

// A render holds an open file per streamed sound: the soft limit is raised to the hard one,
// and when even that is short one line says so.
TEST(RenderOpenFiles, RaisesTheLimitAndSaysWhenItIsShort) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (!Installed("prlimit") || limit.rlim_max < 200) GTEST_SKIP() << "no prlimit, or no room";
  Folder folder;
  ASSERT_FALSE(folder.path().empty());
  WriteWave16(folder.File("s.wav"), 8000, 1, std::vector<int16_t>(8000 * 5, 1000));
  std::vector<std::string> args = {"new", "many.sgp"};
  for (int i = 0; i < 60; ++i) args.push_back("s.wav@" + std::to_string(i * 10));
  ASSERT_EQ(folder.Run(args).status, 0);

  folder.SetLauncher({"/usr/bin/prlimit", "--nofile=40:" + std::to_string(limit.rlim_max)});
  Result render = folder.Run({"render", "many.sgp", "o.wav"});
  EXPECT_EQ(render.status, 0) << render.err;

#ifdef __SANITIZE_ADDRESS__
  // The sanitizers' runtime needs descriptors of its own to check memory, and reports every
  // object as bad once there are none.
  GTEST_SKIP() << "the rest needs a build without sanitizers";
#endif
  folder.SetLauncher({"/usr/bin/prlimit", "--nofile=40:40"});
  render = folder.Run({"render", "many.sgp", "o2.wav"});
  EXPECT_EQ(render.status, 1);
  EXPECT_EQ(CountLines(render.err), 1) << render.err;
  EXPECT_TRUE(Contains(render.err, "all 40 files")) << render.err;
  EXPECT_FALSE(folder.Exists("o2.wav"));
}

// A damaged session renders only when asked to salvage it; a sound file changed since the
// session was saved is rendered as it is now, with a warning.
TEST_F(RenderCommand, RendersADamagedSessionOnlyWhenSalvaging) {
  Bytes session = ReadBytes(folder_.File("s.sgp"));
  session.resize(session.size() - 1);
  WriteBytes(folder_.File("cut.sgp"), session);
  Result render = folder_.Run({"render", "cut.sgp", "o.wav"});
  EXPECT_EQ(render.status, 1);
  EXPECT_TRUE(Contains(render.err, "--salvage")) << render.err;
  EXPECT_FALSE(folder_.Exists("o.wav"));
  render = folder_.Run({"render", "--salvage", "cut.sgp", "o.wav"});
  EXPECT_EQ(render.status, 0) << render.err;
  EXPECT_TRUE(Contains(render.err, "warning")) << render.err;
  EXPECT_TRUE(ReadWave(folder_.File("o.wav")).ok);

  // Cut inside its first sound: nothing readable is left, and the render says so.
  session.resize(session.size() / 3);
  WriteBytes(folder_.File("first.sgp"), session);
  render = folder_.Run({"render", "--salvage", "first.sgp", "e.wav"});
  EXPECT_EQ(render.status, 1);
  EXPECT_TRUE(Contains(render.err, "no sound to render")) << render.err;
  EXPECT_FALSE(folder_.Exists("e.wav"));

  WriteWave16(folder_.File("b.wav"), 44100, 2, std::vector<int16_t>(4410 * 2, 100));
  render = folder_.Run({"render", "s.sgp", "changed.wav"});
  EXPECT_EQ(render.status, 0) << render.err;
  EXPECT_TRUE(Contains(render.err, "warning: sound \"b.wav\"")) << render.err;
  EXPECT_TRUE(Contains(render.err, "file changed")) << render.err;
}

// sox reads what we write, and we read what sox writes.
TEST(RenderPeers, SoxAgreesOnTheRenderedFile) {
  if (!Installed("sox") || !Installed("soxi")) GTEST_SKIP() << "sox is not installed";
  Folder folder;
  ASSERT_FALSE(folder.path().empty());
  const std::string tone = folder.File("tone.wav");
  ASSERT_EQ(std::system(("sox -n -r 22050 -b 16 -c 1 '" + tone + "' synth 0.4 sine 330").c_str()),
            0);
  Result render =
      folder.Run({"render", "tone.wav", "out.wav", "--rate", "11025", "--channels", "1"});
  ASSERT_EQ(render.status, 0) << render.err;
  const std::string out = folder.File("out.wav");
  auto soxi = [&](const char* flag) {
    std::string text;
    if (FILE* pipe = popen(("soxi " + std::string(flag) + " '" + out + "'").c_str(), "r")) {
      char buf[64];
      while (fgets(buf, sizeof buf, pipe) != nullptr) text += buf;
      pclose(pipe);
    }
    return text;
  };
  EXPECT_EQ(soxi("-r"), "11025\n");
  EXPECT_EQ(soxi("-c"), "1\n");
  EXPECT_EQ(soxi("-b"), "16\n");
  EXPECT_EQ(soxi("-s"), "4410\n");
}

}  // namespace
