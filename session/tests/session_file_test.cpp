#include <gtest/gtest.h>
#include <session/safe_replace.h>
#include <session/session_atoms.h>
#include <session/session_file.h>
#include <signal.h>
#include <sonark/model/atom_ref.h>
#include <sys/wait.h>
#include <tarnell/file_obj.h>
#include <tarnell/ref_ptr.h>
#include <tarnell/riff.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kSounds = 300;

// A mono 8-bit wave at 11025 Hz of a tenth of a second.
void WriteWave(const std::string& path) {
  const uint32_t frames = 1102;
  std::vector<unsigned char> bytes(44 + frames, 128);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  std::memcpy(bytes.data(), "RIFF", 4);
  put32(4, static_cast<uint32_t>(bytes.size() - 8));
  std::memcpy(bytes.data() + 8, "WAVEfmt ", 8);
  put32(16, 16);
  put32(20, 1 | 1 << 16);
  put32(24, 11025);
  put32(28, 11025);
  put32(32, 1 | 8 << 16);
  std::memcpy(bytes.data() + 36, "data", 4);
  put32(40, frames);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<char*>(bytes.data()), static_cast<long>(bytes.size()));
}

// The number of sounds of the session at `path`, or -1 when it does not open.
int SoundsIn(const std::string& path) {
  RefPtr<CFileObj> file(new CFileObj());
  if (!file->Open(path.c_str(), 0, 0)) return -1;
  CRIFF riff;
  _chunkInfo form{};
  AtomRef<SessionRootGroup> root(new SessionRootGroup());
  const bool ok = riff.Open(file.get(), &form) && root->Load(&riff, 1, 0, 0, 10, nullptr, nullptr);
  riff.Close();
  return ok ? root->NumAtoms(kAtomTypeMembers, 0) : -1;
}

// A save killed at any moment leaves the old session or the new one on the disk, never a
// mixture, and the killed process's temporary file is swept up afterwards.
TEST(SessionFile, ASaveKilledAtAnyMomentLeavesAWholeSession) {
  char pattern[] = "/tmp/tessel-save-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string wave = dir + "/tick.wav";
  const std::string path = dir + "/many.sgp";
  WriteWave(wave);

  AtomRef<SessionRootGroup> root(new SessionRootGroup());
  root->ResetMarkers();
  for (int i = 0; i < kSounds; ++i) {
    RefPtr<CFileObj> file(new CFileObj());
    ASSERT_TRUE(file->Open(wave.c_str(), 0, 0));
    AtomRef<BarSound> sound(new BarSound());
    ASSERT_TRUE(sound->InitialLoad(file.get(), 2000, 1, 0, 0, 0, 10, nullptr, nullptr));
    ASSERT_NE(sound->Add(root.get(), 200L * i), nullptr);
  }
  std::string error;
  ASSERT_TRUE(SaveSessionFile(root.get(), path, &error)) << error;

  std::mt19937 random(12345);
  std::uniform_int_distribution<int> delay_us(0, 60000);
  for (int attempt = 0; attempt < 20; ++attempt) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Every save differs from the one before, so old and new are never the same bytes.
      for (long round = 0;; ++round) {
        root->Markers().Remove(-1);
        root->Markers().Add(round, "round", 0, 0);
        std::string ignored;
        SaveSessionFile(root.get(), path, &ignored);
      }
    }
    usleep(static_cast<useconds_t>(delay_us(random)));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(SoundsIn(path), kSounds) << "after try " << attempt;
  }
  EXPECT_GE(SweepLeftovers(dir), 0);
  int files = 0;
  std::string names;
  FILE* list = popen(("ls -A '" + dir + "'").c_str(), "r");
  char line[512];
  while (fgets(line, sizeof line, list) != nullptr) {
    ++files;
    names += line;
  }
  pclose(list);
  EXPECT_EQ(files, 2) << names;
  std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
