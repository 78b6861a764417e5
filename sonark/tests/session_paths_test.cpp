#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/engine/engine.h>
#include <sonark/errors.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <sonark/tests/session_test_support.h>
#include <sys/stat.h>
#include <tarnell/mem_obj.h>
#include <tarnell/tests/temp_dir.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace session_test;
namespace fs = std::filesystem;

// The stored path of the first sound of a saved session.
std::string StoredPath(const Bytes& bytes) {
  const size_t ref = FindChunk(bytes, "sref");
  if (ref == std::string::npos) return "<none>";
  return std::string(reinterpret_cast<const char*>(bytes.data() + ref + 8));
}

class SessionPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_EQ(SonarkStartEngine(), 1);
  }

  std::string Path(const std::string& name) const { return dir_.File(name); }

  // Saves a session at `session` holding one sound over the wave file at `sound`.
  int SaveWithSound(const std::string& session, const std::string& sound, Bytes* bytes) {
    if (!session.empty()) fs::create_directories(fs::path(session).parent_path());
    fs::create_directories(fs::path(sound).parent_path());
    EXPECT_TRUE(WriteWave(sound, 400));
    CAudioAtom* root = new CSoundGroup();
    CPCMSound* atom = SoundOf(sound);
    EXPECT_NE(atom, nullptr);
    Place(atom, root, 0);
    int result = SaveSession(root, session, bytes);
    const uint32_t code = platform::last_error();
    DeleteAtom(&root);
    platform::set_last_error(code);
    return result;
  }

  // Loads the session at `session`; returns the number of sounds that came back.
  int Load(const std::string& session) {
    CAudioAtom* root = new LoggingGroup(&log_);
    EXPECT_EQ(LoadSessionFile(root, session), 1) << std::hex << platform::last_error();
    int sounds = static_cast<CSoundGroup*>(root)->NumAtoms(kAtomTypeSound, 0);
    DeleteAtom(&root);
    return sounds;
  }

  LoadLog log_;
  TempDir dir_;
};

TEST_F(SessionPathsTest, RelativePathsFollowTheSessionToItsNewPlace) {
  Bytes bytes;
  ASSERT_EQ(SaveWithSound(Path("d/sessions/s.sgp"), Path("d/music/a.wav"), &bytes), 1);
  EXPECT_EQ(StoredPath(bytes), "\\..\\music\\a.wav");

  // The whole tree is copied elsewhere and the original goes away.
  fs::create_directories(Path("e/copy"));
  fs::copy(Path("d"), Path("e/copy"), fs::copy_options::recursive);
  fs::remove_all(Path("d"));
  EXPECT_EQ(Load(Path("e/copy/sessions/s.sgp")), 1);
  EXPECT_EQ(log_.opened, std::vector<std::string>{Path("e/copy/music/a.wav")});
  EXPECT_TRUE(log_.errors.empty());

  // A sound in the session's own folder, and one below it.
  ASSERT_EQ(SaveWithSound(Path("f/s.sgp"), Path("f/a.wav"), &bytes), 1);
  EXPECT_EQ(StoredPath(bytes), "\\a.wav");
  ASSERT_EQ(SaveWithSound(Path("g/s.sgp"), Path("g/takes/one/a.wav"), &bytes), 1);
  EXPECT_EQ(StoredPath(bytes), "\\takes\\one\\a.wav");
  log_ = LoadLog{};
  EXPECT_EQ(Load(Path("g/s.sgp")), 1);
  EXPECT_EQ(log_.opened, std::vector<std::string>{Path("g/takes/one/a.wav")});
}

TEST_F(SessionPathsTest, MovedSessionWithoutItsSoundsAsksForThemByTheirNewPath) {
  Bytes bytes;
  ASSERT_EQ(SaveWithSound(Path("d/sessions/s.sgp"), Path("d/music/a.wav"), &bytes), 1);
  fs::create_directories(Path("e/sessions"));
  fs::copy(Path("d/sessions/s.sgp"), Path("e/sessions/s.sgp"));
  EXPECT_EQ(Load(Path("e/sessions/s.sgp")), 0);
  EXPECT_EQ(log_.missing, std::vector<std::string>{Path("e/music/a.wav")});
  EXPECT_EQ(log_.errors, std::vector<unsigned long>{sonark::kErrSoundFileMissing});
}

TEST_F(SessionPathsTest, SoundOnAnotherFileSystemKeepsItsAbsolutePath) {
  const char* other = "/dev/shm";
  struct stat here {
  }, there{};
  if (::stat(Path("").c_str(), &here) != 0 || ::stat(other, &there) != 0 ||
      here.st_dev == there.st_dev || ::access(other, W_OK) != 0) {
    GTEST_SKIP() << "no second writable file system";
  }
  char pattern[] = "/dev/shm/session-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string sound = std::string(pattern) + "/a.wav";
  Bytes bytes;
  EXPECT_EQ(SaveWithSound(Path("s.sgp"), sound, &bytes), 1);
  EXPECT_EQ(StoredPath(bytes), sound);
  EXPECT_EQ(Load(Path("s.sgp")), 1);
  EXPECT_EQ(log_.opened, std::vector<std::string>{sound});
  fs::remove_all(pattern);
}

TEST_F(SessionPathsTest, SessionsInMemoryStoreAbsolutePathsAndCannotResolveRelativeOnes) {
  Bytes bytes;
  ASSERT_EQ(SaveWithSound("", Path("a.wav"), &bytes), 1);
  EXPECT_EQ(StoredPath(bytes), Path("a.wav"));

  // A relative path in a session that has no folder of its own names no file.
  ASSERT_EQ(SaveWithSound(Path("s.sgp"), Path("a.wav"), &bytes), 1);
  CAudioAtom* root = new LoggingGroup(&log_);
  EXPECT_EQ(LoadSessionBytes(root, bytes), 1);
  EXPECT_EQ(static_cast<CSoundGroup*>(root)->NumAtoms(kAtomTypeSound, 0), 0);
  EXPECT_EQ(log_.missing, std::vector<std::string>{"\\a.wav"});
  EXPECT_TRUE(log_.opened.empty());
  DeleteAtom(&root);
}

TEST_F(SessionPathsTest, WindowsPathsAndThingsThatAreNoFilesGoToTheMissingFileSearch) {
  Bytes bytes;
  ASSERT_EQ(SaveWithSound(Path("s.sgp"), Path("a.wav"), &bytes), 1);
  const size_t ref = FindChunk(bytes, "sref") + 8;
  for (const std::string& stored :
       {std::string("C:\\music\\a.wav"), std::string("/dev/zero"), Path("")}) {
    SCOPED_TRACE(stored);
    std::memset(bytes.data() + ref, 0, 260);
    std::memcpy(bytes.data() + ref, stored.data(), stored.size());
    ASSERT_TRUE(WriteFile(Path("s.sgp"), bytes));
    log_ = LoadLog{};
    log_.proposal = Path("a.wav");
    EXPECT_EQ(Load(Path("s.sgp")), 1);
    EXPECT_EQ(log_.missing, std::vector<std::string>{stored});
    EXPECT_EQ(log_.opened, std::vector<std::string>{Path("a.wav")});
  }
}

TEST_F(SessionPathsTest, AFileNameWithABackslashIsStoredAbsoluteAndFoundAgain) {
  Bytes bytes;
  ASSERT_EQ(SaveWithSound(Path("s.sgp"), Path("take\\1.wav"), &bytes), 1);
  EXPECT_EQ(StoredPath(bytes), Path("take\\1.wav"));
  EXPECT_EQ(Load(Path("s.sgp")), 1);
  EXPECT_EQ(log_.opened, std::vector<std::string>{Path("take\\1.wav")});
  EXPECT_TRUE(log_.missing.empty());
}

// Opening a pipe that nobody writes would wait for ever; a device is no sound.
TEST_F(SessionPathsTest, APipeOrADeviceAsASoundIsRefusedWithoutOpeningIt) {
  Bytes bytes;
  ASSERT_EQ(SaveWithSound(Path("s.sgp"), Path("a.wav"), &bytes), 1);
  ASSERT_EQ(mkfifo(Path("pipe.wav").c_str(), 0600), 0);
  const size_t ref = FindChunk(bytes, "sref") + 8;
  for (const std::string& stored : {Path("pipe.wav"), std::string("/dev/zero")}) {
    SCOPED_TRACE(stored);
    std::memset(bytes.data() + ref, 0, 260);
    std::memcpy(bytes.data() + ref, stored.data(), stored.size());
    ASSERT_TRUE(WriteFile(Path("s.sgp"), bytes));
    log_ = LoadLog{};
    EXPECT_EQ(Load(Path("s.sgp")), 0);
    EXPECT_EQ(log_.errors, std::vector<unsigned long>{sonark::kErrNotRegularFile});
    EXPECT_TRUE(log_.opened.empty());
  }
}

TEST_F(SessionPathsTest, PathsThatDoNotFitTheRecordAreRefusedWhenSaving) {
  // "\<120 characters>\<133 characters>.wav" is 259 characters: the longest that fits.
  const std::string folder(120, 'f');
  const std::string name(133, 'n');
  Bytes bytes;
  ASSERT_EQ(SaveWithSound(Path("s.sgp"), Path(folder + "/" + name + ".wav"), &bytes), 1);
  EXPECT_EQ(StoredPath(bytes), "\\" + folder + "\\" + name + ".wav");

  platform::clear_last_error();
  EXPECT_EQ(SaveWithSound(Path("s.sgp"), Path(folder + "/" + name + "n.wav"), &bytes), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrSoundPathTooLong);
  // Nothing of the sound was written: its group stops at the failure.
  EXPECT_EQ(FindChunk(bytes, "sndc"), std::string::npos);

  // The sound that stops the save can be named to the user.
  CAudioAtom* root = new CSoundGroup();
  CAudioAtom* fits = SoundOf(Path(folder + "/" + name + ".wav"));
  CPCMSound* tooLong = SoundOf(Path(folder + "/" + name + "n.wav"));
  ASSERT_NE(tooLong, nullptr);
  Place(fits, root, 0);
  tooLong->AddReference();
  Place(tooLong, root, 10);
  auto* file = new CFileObj();
  ASSERT_EQ(file->Create(Path("s.sgp").c_str()), 1);
  CRIFF riff;
  ASSERT_EQ(riff.Create(file, tarnell::FourCC("sess")), 1);
  EXPECT_EQ(FindSoundThatCannotBeStored(root, &riff), tooLong);
  EXPECT_EQ(platform::last_error(), sonark::kErrSoundPathTooLong);
  riff.Close();
  CRefObj* held = file;
  DeleteRefObject(&held);
  CAudioAtom* mine = tooLong;
  DeleteAtom(&mine);
  DeleteAtom(&root);
}

TEST_F(SessionPathsTest, SoundWithoutAFileCannotBeStoredByReference) {
  ASSERT_TRUE(WriteWave(Path("a.wav"), 400));
  Bytes wave = ReadFile(Path("a.wav"));
  auto* memory = new CMemObj();
  CRefObj* held = memory;
  ASSERT_EQ(memory->Open(wave.data(), static_cast<unsigned long>(wave.size())), 1);
  auto* sound = new CPCMSound();
  ASSERT_EQ(SetUpFromWave(sound, memory), 1);
  DeleteRefObject(&held);
  CAudioAtom* root = new CSoundGroup();
  Place(sound, root, 0);

  Bytes bytes;
  platform::clear_last_error();
  EXPECT_EQ(SaveSession(root, Path("s.sgp"), &bytes), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrSoundHasNoFile);
  // Embedded, it is stored whole.
  EXPECT_EQ(SaveSession(root, Path("s.sgp"), &bytes, 0), 1);
  DeleteAtom(&root);
}

}  // namespace
