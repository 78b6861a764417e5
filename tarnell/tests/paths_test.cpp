#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tarnell/paths.h>
#include <tarnell/tests/temp_dir.h>

#include <string>

namespace {

std::string ToRelative(const char* base, const char* path, int expected = 1) {
  char out[kPathBufferSize] = "untouched";
  EXPECT_EQ(AbsoluteToRelative(base, path, out), expected) << base << " " << path;
  return out;
}

std::string ToAbsolute(const char* base, const char* rel, int expected = 1) {
  char out[kPathBufferSize] = "untouched";
  EXPECT_EQ(RelativeToAbsolute(base, rel, out), expected) << base << " " << rel;
  return out;
}

TEST(PathsTest, SessionsStoreNearbySoundsRelativeToTheirFile) {
  std::string rel = ToRelative("/d/sessions/s.sgp", "/d/music/a.wav");
  EXPECT_EQ(rel, "\\..\\music\\a.wav");
  EXPECT_EQ(ToAbsolute("/e/copy/sessions/s.sgp", rel.c_str()), "/e/copy/music/a.wav");

  EXPECT_EQ(ToRelative("/d/sessions/s.sgp", "/d/sessions/a.wav"), "\\a.wav");
  EXPECT_EQ(ToAbsolute("/d/sessions/s.sgp", "\\a.wav"), "/d/sessions/a.wav");

  // The common part ends at a separator, not inside "music2".
  EXPECT_EQ(ToRelative("/d/music2/s.sgp", "/d/music/a.wav"), "\\..\\music\\a.wav");
  EXPECT_EQ(ToRelative("/d/a/b/c/s.sgp", "/d/x/y.wav"), "\\..\\..\\..\\x\\y.wav");
  EXPECT_EQ(ToRelative("/d/s.sgp", "/d/sub/dir/a.wav"), "\\sub\\dir\\a.wav");
  // Dots and doubled separators in the inputs do not count as levels.
  EXPECT_EQ(ToRelative("/d/x/../sessions//s.sgp", "/d/./music/a.wav"), "\\..\\music\\a.wav");
}

TEST(PathsTest, ResolvingStopsAtTheRootAndKeepsDottedNames) {
  EXPECT_EQ(ToAbsolute("/d/s.sgp", "\\..\\..\\..\\a.wav"), "/a.wav");
  EXPECT_EQ(ToAbsolute("/home/me/s.sgp", "\\.cache\\a.wav"), "/home/me/.cache/a.wav");
  EXPECT_EQ(ToAbsolute("/home/me/s.sgp", "\\..\\..foo\\a.wav"), "/home/..foo/a.wav");
  // Playlists hand over forward slashes and leave out the leading separator.
  EXPECT_EQ(ToAbsolute("/m/list/p.m3u", "\\../songs/a.mp3"), "/m/songs/a.mp3");
  EXPECT_EQ(ToAbsolute("/m/list/p.m3u", "songs/a.mp3"), "/m/list/songs/a.mp3");
  EXPECT_EQ(ToAbsolute("/d/s.sgp", "\\..\\..", 0), "");
  EXPECT_EQ(ToAbsolute("/d/s.sgp", "", 0), "");
}

TEST(PathsTest, DifferentFileSystemsAreDifferentDrives) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::string file = dir.File("a.wav");
  struct stat tmp_st, shm_st;
  ASSERT_EQ(stat(dir.File("").c_str(), &tmp_st), 0);
  const char* other = stat("/dev/shm", &shm_st) == 0 && shm_st.st_dev != tmp_st.st_dev ? "/dev/shm"
                      : stat("/proc", &shm_st) == 0 && shm_st.st_dev != tmp_st.st_dev  ? "/proc"
                                                                                       : nullptr;
  if (!other) GTEST_SKIP() << "no second file system next to the temporary folder";
  std::string elsewhere = std::string(other) + "/not-there/a.wav";
  EXPECT_EQ(HasSameDrive(file.c_str(), elsewhere.c_str()), 0);
  EXPECT_EQ(ToRelative(dir.File("s.sgp").c_str(), elsewhere.c_str(), 0), "");
  EXPECT_EQ(HasSameDrive(file.c_str(), dir.File("sub/deeper/b.wav").c_str()), 1);
  // Made-up paths meet at "/".
  EXPECT_EQ(HasSameDrive("/d/sessions/s.sgp", "/d/music/a.wav"), 1);
  EXPECT_EQ(HasSameDrive("relative/a.wav", "/d/a.wav"), 0);
  EXPECT_EQ(ToRelative("/d/s.sgp", "relative/a.wav", 0), "");
}

TEST(PathsTest, NamesFoldersAndExtensions) {
  char out[kPathBufferSize] = "untouched";
  EXPECT_EQ(ExtractFileName("noslash.wav", out), 0);
  EXPECT_STREQ(out, "untouched");
  EXPECT_EQ(ExtractFileName("/d/music/a.wav", out), 1);
  EXPECT_STREQ(out, "a.wav");
  EXPECT_EQ(ExtractFileName("/a.wav", out), 1);
  EXPECT_STREQ(out, "a.wav");
  EXPECT_EQ(ExtractDirectory("/d/music/a.wav", out), 1);
  EXPECT_STREQ(out, "/d/music/");
  EXPECT_EQ(ExtractDirectory("a.wav", out), 0);

  char name[] = "/d/a.b.wav";
  EXPECT_EQ(RemoveExtensionFromFile(name), 1);
  EXPECT_STREQ(name, "/d/a.b.");
  char dotted_folder[] = "/d/my.folder/readme";
  EXPECT_EQ(RemoveExtensionFromFile(dotted_folder), 0);
  EXPECT_STREQ(dotted_folder, "/d/my.folder/readme");
  char hidden[] = "/home/me/.profile";
  EXPECT_EQ(RemoveExtensionFromFile(hidden), 0);

  EXPECT_EQ(HasFileExtension("/d/X.WAV", "wav"), 1);
  EXPECT_EQ(HasFileExtension("/d/list.m3u", "pls"), 0);
  EXPECT_EQ(HasFileExtension("/d/list.m3u8", "m3u"), 0);
  EXPECT_EQ(HasFileExtension("/d.pl/list", "pl"), 0);
  EXPECT_EQ(IsRelativePath("music/a.wav"), 1);
  EXPECT_EQ(IsRelativePath("\\..\\a.wav"), 1);
  EXPECT_EQ(IsRelativePath("/d/a.wav"), 0);
}

TEST(PathsTest, DrivePartIsWhatComesBeforeTheFirstSeparator) {
  char out[kPathBufferSize] = "untouched";
  EXPECT_EQ(StripDriveLetter("/d/music/a.wav", out), 1);
  EXPECT_STREQ(out, "/d/music/a.wav");
  EXPECT_EQ(StripDriveLetter("a.wav", out), 0);
  EXPECT_EQ(AddDriveLetter("/e/other", "/d/music/a.wav", out), 1);
  EXPECT_STREQ(out, "/d/music/a.wav");
  EXPECT_EQ(AddDriveLetter("base/x", "/y", out), 1);
  EXPECT_STREQ(out, "base/y");
  EXPECT_EQ(AddDriveLetter("noslash", "/y", out), 0);
  EXPECT_STREQ(out, "");
}

TEST(PathsTest, ResultsThatDoNotFitAreRefused) {
  std::string deep = "/d";
  while (deep.size() < kPathBufferSize) deep += "/folder";
  std::string file = deep + "/a.wav";
  char out[kPathBufferSize];
  EXPECT_EQ(ExtractDirectory(file.c_str(), out), 0);
  EXPECT_EQ(AbsoluteToRelative("/e/s.sgp", file.c_str(), out), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(RelativeToAbsolute("/e/s.sgp", file.c_str(), out), 0);
}

}  // namespace
