#include <gtest/gtest.h>
#include <sonark/model/playlist.h>
#include <tarnell/tests/temp_dir.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> Entries(const CPlaylist& list) {
  std::vector<std::string> entries;
  for (int i = 0; i < list.NumEntries(); ++i) entries.emplace_back(list.Index(i));
  return entries;
}

class PlaylistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    lists_ = dir_.File("lists") + "/";
    WriteFile(lists_ + "song.mp3", "x");
    WriteFile(lists_ + "sub/deep.mp3", "x");
    WriteFile(dir_.File("a.mp3"), "x");
  }
  TempDir dir_;
  std::string lists_;
};

TEST_F(PlaylistTest, ExtendedM3uWithCrLfAndDirectives) {
  std::string list = lists_ + "mix.m3u";
  WriteFile(list,
            "#EXTM3U\r\n"
            "#EXTINF:123,Artist - Title\r\n"
            "song.mp3\r\n"
            "\r\n"
            "   \t\r\n"
            "#EXTINF:-1,Other\r\n"
            "  sub\\deep.mp3\r\n"
            "..\\a.mp3\r\n"
            "; a comment\r\n" +
                dir_.File("a.mp3") +
                "\r\n"
                "C:\\Music\\gone.mp3\r\n"
                "http://radio.example/stream\r\n"
                "missing.mp3");
  CPlaylist playlist;
  ASSERT_EQ(playlist.LoadFromFile(list.c_str(), false), 1);
  EXPECT_EQ(playlist.ErrorCode(), kPlaylistNoError);
  EXPECT_EQ(Entries(playlist), (std::vector<std::string>{
                                   lists_ + "song.mp3", lists_ + "sub/deep.mp3",
                                   lists_ + "../a.mp3", dir_.File("a.mp3"), "C:\\Music\\gone.mp3",
                                   "http://radio.example/stream", lists_ + "missing.mp3"}));

  CPlaylist existing;
  ASSERT_EQ(existing.LoadFromFile(list.c_str(), true), 1);
  EXPECT_EQ(Entries(existing),
            (std::vector<std::string>{lists_ + "song.mp3", lists_ + "sub/deep.mp3",
                                      lists_ + "../a.mp3", dir_.File("a.mp3")}));
}

TEST_F(PlaylistTest, M3uKeepsTrailingBlanksAndColonsInNames) {
  WriteFile(lists_ + "Live: 1999.mp3", "x");
  std::string list = lists_ + "odd.M3U";
  WriteFile(list, "\xEF\xBB\xBFLive: 1999.mp3\nsong.mp3  \n");
  CPlaylist playlist;
  ASSERT_EQ(playlist.LoadFromFile(list.c_str(), false), 1);
  // The byte-order mark is no part of the first name; a trailing blank is part of its entry.
  EXPECT_EQ(Entries(playlist),
            (std::vector<std::string>{lists_ + "Live: 1999.mp3", lists_ + "song.mp3  "}));
}

TEST_F(PlaylistTest, PlsResolvesRelativeRootedAndNetworkEntries) {
  std::string list = lists_ + "radio.pls";
  WriteFile(list,
            "[playlist]\r\n"
            "File1=..\\a.mp3\r\n"
            "Title1=First\r\n"
            "Length1=215\r\n"
            "File2=song.mp3\r\n"
            "File3=.\\sub\\deep.mp3\r\n"
            "File4=\\music\\c.mp3\r\n"
            "File5=\\\\server\\share\\d.mp3\r\n"
            "File6=\r\n"
            "File7=sub/deep.mp3\r\n"
            "File9=" +
                dir_.File("a.mp3") +
                "\r\n"
                "NumberOfEntries=8\r\n"
                "Version=2\r\n");
  CPlaylist playlist;
  ASSERT_EQ(playlist.LoadFromFile(list.c_str(), false), 1);
  // File6 is empty and File9 lies beyond the announced count.
  EXPECT_EQ(Entries(playlist),
            (std::vector<std::string>{dir_.File("a.mp3"), lists_ + "song.mp3",
                                      lists_ + "sub/deep.mp3", "/music/c.mp3",
                                      "\\\\server\\share\\d.mp3", lists_ + "sub/deep.mp3"}));

  CPlaylist existing;
  ASSERT_EQ(existing.LoadFromFile(list.c_str(), true), 1);
  EXPECT_EQ(existing.NumEntries(), 4);
}

TEST_F(PlaylistTest, LocalFileUrisBecomePaths) {
  WriteFile(lists_ + "My Song #1.mp3", "x");
  const std::string mySong = lists_ + "My Song #1.mp3";
  const std::string encoded = "file://" + lists_ + "My%20Song%20%231.mp3";
  std::string m3u = lists_ + "linux.m3u";
  WriteFile(m3u, "#EXTM3U\n" + encoded + "\nFILE://localhost" + lists_ +
                     "song.mp3\nfile:" + dir_.File("a.mp3") + "\nfile://otherhost/x.mp3\nfile://" +
                     lists_ + "bad%2.mp3\nfile://" + lists_ + "nul%00.mp3\n");
  CPlaylist playlist;
  ASSERT_EQ(playlist.LoadFromFile(m3u.c_str(), false), 1);
  // A file of another host stays a URL; broken escapes name no file.
  EXPECT_EQ(Entries(playlist),
            (std::vector<std::string>{mySong, lists_ + "song.mp3", dir_.File("a.mp3"),
                                      "file://otherhost/x.mp3"}));
  EXPECT_EQ(playlist.ErrorCode(), kPlaylistBadEntry);

  std::string pls = lists_ + "linux.pls";
  WriteFile(pls, "[playlist]\nNumberOfEntries=1\nFile1=" + encoded + "\n");
  std::string pl = lists_ + "linux.pl";
  WriteFile(pl, "[Files]\nFile1=" + encoded + "\n");
  for (const std::string& list : {pls, pl}) {
    CPlaylist existing;
    ASSERT_EQ(existing.LoadFromFile(list.c_str(), true), 1) << list;
    EXPECT_EQ(Entries(existing), std::vector<std::string>{mySong}) << list;
  }
}

TEST_F(PlaylistTest, PlsWithoutCountOrSectionHasNoEntries) {
  std::string uncounted = lists_ + "a.pls";
  WriteFile(uncounted, "[playlist]\nFile1=song.mp3\n");
  std::string wrongSection = lists_ + "b.pls";
  WriteFile(wrongSection, "[other]\nNumberOfEntries=1\nFile1=song.mp3\n");
  std::string allMissing = lists_ + "c.pls";
  WriteFile(allMissing, "[playlist]\nNumberOfEntries=2\nFile1=nothing.mp3\n");
  for (const std::string& list : {uncounted, wrongSection}) {
    CPlaylist playlist;
    EXPECT_EQ(playlist.LoadFromFile(list.c_str(), false), 0) << list;
    EXPECT_EQ(playlist.ErrorCode(), kPlaylistNoEntries) << list;
  }
  CPlaylist playlist;
  EXPECT_EQ(playlist.LoadFromFile(allMissing.c_str(), true), 0);
  EXPECT_EQ(playlist.ErrorCode(), kPlaylistNoEntries);
}

TEST_F(PlaylistTest, PlListStopsAtFirstGap) {
  std::string list = lists_ + "old.pl";
  WriteFile(list, "[Files]\nFile1=" + lists_ + "song.mp3\nFile2=/elsewhere/b.mp3\nFile4=c.mp3\n");
  CPlaylist playlist;
  ASSERT_EQ(playlist.LoadFromFile(list.c_str(), false), 1);
  EXPECT_EQ(Entries(playlist), (std::vector<std::string>{lists_ + "song.mp3", "/elsewhere/b.mp3"}));
  // Keys are the entry numbers minus one, so a dropped entry leaves its gap.
  CPlaylist existing;
  ASSERT_EQ(existing.LoadFromFile(list.c_str(), true), 1);
  EXPECT_EQ(Entries(existing), (std::vector<std::string>{lists_ + "song.mp3"}));

  std::string noFirst = lists_ + "gap.pl";
  WriteFile(noFirst, "[Files]\nFile2=" + lists_ + "song.mp3\n");
  CPlaylist refused;
  EXPECT_EQ(refused.LoadFromFile(noFirst.c_str(), false), 0);
  EXPECT_EQ(refused.ErrorCode(), kPlaylistNoEntries);
}

TEST_F(PlaylistTest, RefusedFiles) {
  std::string big = lists_ + "big.m3u";
  std::string line = "song.mp3\n";
  std::string text;
  while (text.size() + line.size() <= CPlaylist::kMaxFileSize) text += line;
  text.append(CPlaylist::kMaxFileSize - text.size(), '\n');
  WriteFile(big, text);
  CPlaylist fits;
  EXPECT_EQ(fits.LoadFromFile(big.c_str(), false), 1);
  EXPECT_EQ(fits.NumEntries(), static_cast<int>(CPlaylist::kMaxFileSize / line.size()));

  WriteFile(big, text + "\n");  // one byte over
  CPlaylist over;
  EXPECT_EQ(over.LoadFromFile(big.c_str(), false), 0);
  EXPECT_EQ(over.ErrorCode(), kPlaylistCannotOpen);
  EXPECT_EQ(over.NumEntries(), 0);

  struct Case {
    std::string path;
    TPlaylistErrorCode error;
  };
  std::string empty = lists_ + "empty.m3u";
  WriteFile(empty, "");
  std::string comments = lists_ + "comments.m3u";
  WriteFile(comments, "#EXTM3U\r\n#EXTINF:1,x\r\n\r\n");
  std::string wpl = lists_ + "list.wpl";
  WriteFile(wpl, "song.mp3\n");
  std::filesystem::create_directories(lists_ + "sub.m3u");
  for (const Case& c :
       {Case{lists_ + "absent.m3u", kPlaylistCannotOpen},
        Case{lists_ + "sub.m3u", kPlaylistCannotOpen}, Case{empty, kPlaylistNoEntries},
        Case{comments, kPlaylistNoEntries}, Case{wpl, kPlaylistUnknownKind},
        Case{lists_ + "noext", kPlaylistUnknownKind}}) {
    CPlaylist playlist;
    EXPECT_EQ(playlist.LoadFromFile(c.path.c_str(), false), 0) << c.path;
    EXPECT_EQ(playlist.ErrorCode(), c.error) << c.path;
  }
}

TEST_F(PlaylistTest, LoadingAgainAppends) {
  std::string first = lists_ + "1.m3u";
  WriteFile(first, "song.mp3\nsub/deep.mp3\n");
  std::string second = lists_ + "2.pls";
  WriteFile(second, "[playlist]\nNumberOfEntries=1\nFile1=" + dir_.File("a.mp3") + "\n");
  CPlaylist playlist;
  ASSERT_EQ(playlist.LoadFromFile(first.c_str(), true), 1);
  ASSERT_EQ(playlist.LoadFromFile(second.c_str(), true), 1);
  EXPECT_EQ(
      Entries(playlist),
      (std::vector<std::string>{lists_ + "song.mp3", lists_ + "sub/deep.mp3", dir_.File("a.mp3")}));
  // A failed load keeps what was held.
  EXPECT_EQ(playlist.LoadFromFile((lists_ + "absent.m3u").c_str(), false), 0);
  EXPECT_EQ(playlist.NumEntries(), 3);
}

TEST_F(PlaylistTest, OverlongEntriesAreSkipped) {
  std::string list = lists_ + "long.m3u";
  WriteFile(list, std::string(3000, 'x') + "\nsong.mp3\n");
  CPlaylist playlist;
  ASSERT_EQ(playlist.LoadFromFile(list.c_str(), false), 1);
  EXPECT_EQ(Entries(playlist), (std::vector<std::string>{lists_ + "song.mp3"}));
  EXPECT_EQ(playlist.ErrorCode(), kPlaylistBadEntry);
}

TEST(Playlist, InsertDeleteAndCopies) {
  CPlaylist playlist;
  EXPECT_EQ(playlist.Insert(0, ""), 0);
  EXPECT_EQ(playlist.ErrorCode(), kPlaylistBadEntry);
  EXPECT_EQ(playlist.Insert(0, std::string(3000, 'a').c_str()), 0);
  EXPECT_EQ(playlist.Insert(0, std::string(2999, 'a').c_str()), 1);
  EXPECT_EQ(playlist.Insert(5, "/e.mp3"), 1);
  EXPECT_EQ(playlist.Insert(2, "/c.mp3"), 1);  // sorted between the keys 0 and 5
  ASSERT_EQ(playlist.NumEntries(), 3);
  EXPECT_STREQ(playlist.Index(1), "/c.mp3");
  EXPECT_EQ(playlist.Index(3), nullptr);
  EXPECT_EQ(playlist.Index(-1), nullptr);

  CPlaylist copy(playlist);
  playlist.Delete(0);
  playlist.Delete(7);
  EXPECT_EQ(Entries(playlist), (std::vector<std::string>{"/c.mp3", "/e.mp3"}));
  EXPECT_EQ(copy.NumEntries(), 3);
  EXPECT_NE(copy.Index(1), playlist.Index(0));  // its own strings
  copy = playlist;
  CPlaylist& same = copy;
  copy = same;
  playlist.DeleteAll();
  EXPECT_EQ(Entries(copy), (std::vector<std::string>{"/c.mp3", "/e.mp3"}));
}

TEST_F(PlaylistTest, SaveWritesAnM3uThatReadsBack) {
  CPlaylist playlist;
  for (int i = 0; i < 20; ++i) playlist.Insert(i, dir_.File(std::to_string(i) + "t.mp3").c_str());
  std::vector<std::string> before = Entries(playlist);
  playlist.Randomize();
  std::vector<std::string> shuffled = Entries(playlist);
  EXPECT_TRUE(std::is_permutation(before.begin(), before.end(), shuffled.begin()));

  std::string saved = dir_.File("saved.m3u");
  ASSERT_EQ(playlist.SaveToFile(saved.c_str()), 1);
  CPlaylist again;
  ASSERT_EQ(again.LoadFromFile(saved.c_str(), false), 1);
  EXPECT_EQ(Entries(again), shuffled);

  CPlaylist unwritable;
  unwritable.Insert(0, "#not a path");
  EXPECT_EQ(unwritable.SaveToFile(dir_.File("bad.m3u").c_str()), 0);
  EXPECT_EQ(unwritable.ErrorCode(), kPlaylistBadEntry);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("bad.m3u")));
  EXPECT_EQ(playlist.SaveToFile(dir_.File("no/such/dir.m3u").c_str()), 0);
  EXPECT_EQ(playlist.ErrorCode(), kPlaylistCannotOpen);
}

}  // namespace
