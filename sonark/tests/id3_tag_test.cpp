#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/id3_tag.h>
#include <sonark/load/id3_tag_v2.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/mp3_info.h>
#include <sonark/load/music_info.h>
#include <sonark/load/music_info_record.h>
#include <tarnell/file_obj.h>
#include <tarnell/riff.h>
#include <tarnell/tests/temp_dir.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "wave_test_support.h"

namespace {

using wave_test::Bytes;

const char kMixed[] =
    "Mot\xC3\xB6rhead \xE2\x80\x93 \xC3\x87"
    "a va";                                                              // Motörhead – Ça va
const char kCjk[] = "\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xAE\xE5\xA4\x9C";  // 東京の夜

// A comment of more than 200 bytes, so that its frame size needs more than 7 bits.
std::string LongComment() {
  std::string text;
  for (int i = 0; i < 12; ++i)
    text += "Zeile " + std::to_string(i) +
            ": gr\xC3\xBC\xC3\x9F"
            "e; ";
  return text;
}

// Owns one reference to an opened file object.
struct File {
  enum Mode { kRead, kWrite, kCreate };
  explicit File(const std::string& path, Mode mode = kRead) {
    const int ok = mode == kCreate ? object->Create(path.c_str())
                                   : object->Open(path.c_str(), 0, mode == kWrite ? 1 : 0);
    if (!ok) Release();
  }
  ~File() { Release(); }
  void Release() {
    CRefObj* held = object;
    if (held != nullptr) DeleteRefObject(&held);
    object = nullptr;
  }
  CFileObj* object = new CFileObj;
};

// The music information the initial load takes from an MPEG file.
std::unique_ptr<TMusicInfo> LoadMusicInfo(const std::string& path) {
  File file(path);
  if (file.object == nullptr) return nullptr;
  CMP3Info mp3;
  if (mp3.loadInfo(file.object) != 0) return nullptr;
  CInitialLoad load;
  if (!load.SetMusInfoFromMP3Info(file.object, &mp3)) return nullptr;
  return std::unique_ptr<TMusicInfo>(load.StealMusicInfo());
}

// A tag header of `version` around `frames`, with `size` written as the tag size.
Bytes V2Tag(int version, const Bytes& frames, long size = -1) {
  const unsigned long s = size < 0 ? frames.size() : static_cast<unsigned long>(size);
  const unsigned char header[10] = {'I',
                                     'D',
                                     '3',
                                     static_cast<unsigned char>(version),
                                     0,
                                     0,
                                     static_cast<unsigned char>(s >> 21 & 0x7F),
                                     static_cast<unsigned char>(s >> 14 & 0x7F),
                                     static_cast<unsigned char>(s >> 7 & 0x7F),
                                     static_cast<unsigned char>(s & 0x7F)};
  // Sized once and copied into: GCC 12 at -O3 misreads an insert behind a short literal.
  Bytes out(sizeof header + frames.size());
  std::copy(header, header + sizeof header, out.begin());
  std::copy(frames.begin(), frames.end(), out.begin() + sizeof header);
  return out;
}

// A frame with a 32-bit size as given (plain or 7-bit, as the test needs).
void AddFrame(Bytes& out, const std::string& id, const Bytes& body, uint32_t size,
              unsigned char format = 0) {
  out.insert(out.end(), id.begin(), id.end());
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<unsigned char>(size >> (8 * i)));
  out.push_back(0);
  out.push_back(format);
  out.insert(out.end(), body.begin(), body.end());
}

class Id3TagTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  void NeedTools() {
    if (!wave_test::HaveTool("sox") || !wave_test::HaveTool("ffmpeg") ||
        !wave_test::HaveTool("ffprobe") || !wave_test::HaveTool("lame")) {
      GTEST_SKIP() << "sox, ffmpeg, ffprobe and lame are needed to make and check the files";
    }
  }

  // A short MPEG layer III tone without tags.
  std::string Mp3(const std::string& name) {
    const std::string wav = dir_.File(name + ".wav");
    const std::string mp3 = dir_.File(name + ".mp3");
    EXPECT_TRUE(wave_test::Run("sox -n -r 44100 -c 2 -b 16 " + wav + " synth 1 sine 440"));
    EXPECT_TRUE(wave_test::Run("lame --quiet --noreplaygain -b 128 " + wav + " " + mp3));
    return mp3;
  }

  TempDir dir_;
};

TEST(Id3v1Tag, FieldsVersionsAndLimits) {
  char block[128] = {};
  std::memcpy(block, "TAG", 3);
  std::memcpy(block + 3, "Title  ", 7);
  std::memcpy(block + 93, "1999", 4);
  std::memset(block + 97, 'c', 30);
  block[125] = 0;
  block[126] = 7;
  block[127] = 17;
  CId3Tag tag;
  ASSERT_EQ(tag.loadTag(block), 1);
  EXPECT_STREQ(tag.TitleString(), "Title");
  EXPECT_EQ(tag.getVersion(), 1.1f);
  EXPECT_EQ(tag.getTrackNumber(), 7);
  EXPECT_EQ(std::strlen(tag.CommentString()), 28u);
  EXPECT_EQ(tag.getYear(), 1999);
  char genre[256];
  tag.genreString(genre, 1);
  EXPECT_STREQ(genre, "Rock");

  block[126] = 0;
  ASSERT_EQ(tag.loadTag(block), 1);
  EXPECT_EQ(tag.getVersion(), 1.0f);
  EXPECT_EQ(tag.getTrackNumber(), -1);
  EXPECT_EQ(std::strlen(tag.CommentString()), 28u);  // bytes 125 and 126 are zero
  block[0] = 'X';
  EXPECT_EQ(tag.loadTag(block), 0);

  for (int year : {999, 3001, 1999}) {
    tag.setYear(year);
    EXPECT_EQ(tag.getYear(), year == 1999 ? 1999 : 0);
  }
  tag.setGenreIndex(0x10C);
  EXPECT_EQ(tag.getGenreIndex(), 12);
  tag.setGenreIndex(200);
  tag.genreString(genre, 0);
  EXPECT_STREQ(genre, "Unknown");

  // Through the engine's texts: ISO-8859-1 in the block, UTF-8 outside, the track in 1.1.
  TMusicInfo info;
  std::strcpy(info.title, kMixed);
  std::strcpy(info.artist, kCjk);
  std::string comment(40, 'x');
  std::strcpy(info.comment, comment.c_str());
  info.track = 9;
  info.year = 0;
  info.genreIndex = 255;
  tag.FromMusicInfo(info);
  tag.saveTag(block);
  EXPECT_EQ(std::string(block + 3, 10), "Mot\xF6rhead ");
  EXPECT_EQ(std::string(block + 33, 4), std::string("????"));
  EXPECT_EQ(std::string(block + 93, 4), "    ");
  EXPECT_EQ(block[125], 0);
  EXPECT_EQ(block[126], 9);
  EXPECT_EQ(static_cast<unsigned char>(block[127]), 255);
  CId3Tag back;
  ASSERT_EQ(back.loadTag(block), 1);
  TMusicInfo read;
  back.ToMusicInfo(&read);
  EXPECT_STREQ(read.title,
               "Mot\xC3\xB6rhead ? \xC3\x87"
               "a va");
  EXPECT_EQ(std::string(read.comment), std::string(28, 'x'));
  EXPECT_EQ(read.track, 9);
  EXPECT_STREQ(read.genre, "");  // no genre gives no genre text

  tag.setTrackNumber(100);
  EXPECT_EQ(tag.getVersion(), 1.0f);
  EXPECT_EQ(tag.getTrackNumber(), -1);
}

TEST_F(Id3TagTest, ReadsTagsFfmpegWrites) {
  NeedTools();
  const std::string wav = dir_.File("tone.wav");
  ASSERT_TRUE(wave_test::Run("sox -n -r 44100 -c 2 -b 16 " + wav + " synth 1 sine 440"));
  const std::string comment = LongComment();
  for (const char* version : {"3", "4"}) {
    SCOPED_TRACE(std::string("ID3v2.") + version);
    const std::string mp3 = dir_.File(std::string("v") + version + ".mp3");
    ASSERT_TRUE(wave_test::Run("ffmpeg -y -i " + wav + " -c:a libmp3lame -id3v2_version " +
                               version + " -write_id3v1 1 -metadata 'title=" + kCjk +
                               "' -metadata 'artist=" + kMixed +
                               "' -metadata album=Plain -metadata 'comment=" + comment +
                               "' -metadata genre=Rock -metadata track=5/12 -metadata date=2001 "
                               "-metadata copyright=Someone -metadata encoded_by=Studio " +
                               mp3));
    const auto info = LoadMusicInfo(mp3);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->tagType, ttId3V2);
    // The ID3v1 tag written beside cannot hold these; the ID3v2 tag gives them whole.
    EXPECT_STREQ(info->title, kCjk);
    EXPECT_STREQ(info->artist, kMixed);
    EXPECT_STREQ(info->album, "Plain");
    EXPECT_EQ(std::string(info->comment), comment);
    EXPECT_EQ(info->genreIndex, 17);
    EXPECT_EQ(info->track, 5);
    EXPECT_EQ(info->totalTracks, 12);
    EXPECT_EQ(info->year, 2001);
    EXPECT_STREQ(info->copyright, "Someone");
    EXPECT_STREQ(info->encoder, "Studio");
    EXPECT_EQ(info->copyrighted, 1);
    EXPECT_EQ(std::string(info->title).find("\xC3\xBF\xC3\xBE"), std::string::npos);
  }
}

TEST_F(Id3TagTest, WrittenTagIsReadByFfprobe) {
  NeedTools();
  const std::string mp3 = Mp3("plain");
  const Bytes audio = wave_test::ReadFile(mp3);
  TMusicInfo info;
  std::strcpy(info.title, kCjk);
  std::strcpy(info.artist, kMixed);
  std::strcpy(info.album, "Caf\xC3\xA9");
  std::strcpy(info.comment, LongComment().c_str());
  info.genreIndex = 17;
  info.track = 5;
  info.totalTracks = 12;
  info.year = 1999;
  {
    File file(mp3, File::kWrite);
    ASSERT_NE(file.object, nullptr);
    CId3TagV2 tag;
    ASSERT_EQ(tag.UpdateFromMusicInfo(&info), 1);
    // The file held no tag: the audio moves behind the new one.
    ASSERT_EQ(tag.Write(file.object), 1);
  }
  const Bytes tagged = wave_test::ReadFile(mp3);
  ASSERT_EQ(tagged.size(), audio.size() + 2048 + 10);
  EXPECT_TRUE(std::equal(audio.begin(), audio.end(), tagged.begin() + 2058));
  EXPECT_EQ(tagged[3], 3);

  const std::string tags = wave_test::Output(
      "ffprobe -v error -show_entries format_tags -of default=noprint_wrappers=1 " + mp3);
  EXPECT_NE(tags.find(std::string("TAG:title=") + kCjk + "\n"), std::string::npos) << tags;
  EXPECT_NE(tags.find(std::string("TAG:artist=") + kMixed + "\n"), std::string::npos) << tags;
  EXPECT_NE(tags.find("TAG:album=Caf\xC3\xA9\n"), std::string::npos) << tags;
  // Readers name a comment by its description.
  EXPECT_NE(tags.find("TAG:Comments=" + LongComment() + "\n"), std::string::npos) << tags;
  EXPECT_NE(tags.find("TAG:track=5/12\n"), std::string::npos) << tags;
  EXPECT_NE(tags.find("TAG:genre=Rock\n"), std::string::npos) << tags;
  EXPECT_NE(tags.find("TAG:date=1999\n"), std::string::npos) << tags;

  const auto back = LoadMusicInfo(mp3);
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(back->title, kCjk);
  EXPECT_STREQ(back->comment, LongComment().c_str());
}

TEST_F(Id3TagTest, GrowingTheTagMovesTheAudio) {
  const std::string path = dir_.File("grow.mp3");
  Bytes audio(3 * 1024 * 1024 + 77);
  std::mt19937 random(5);
  for (auto& b : audio) b = static_cast<unsigned char>(random());
  {
    File file(path, File::kCreate);
    ASSERT_NE(file.object, nullptr);
    CId3TagV2 tag;
    TMusicInfo small;
    std::strcpy(small.title, "Short");
    ASSERT_EQ(tag.UpdateFromMusicInfo(&small), 1);
    ASSERT_EQ(tag.CreateInitialTagV2(file.object), 1);
    ASSERT_EQ(tag.Write(file.object), 1);
    ASSERT_EQ(file.object->Write(reinterpret_cast<const char*>(audio.data()),
                                 static_cast<long>(audio.size())),
              static_cast<long>(audio.size()));
  }
  TMusicInfo info;
  {
    File file(path, File::kWrite);
    CId3TagV2 tag;
    ASSERT_EQ(tag.Read(file.object, 0), 1);
    EXPECT_EQ(tag.Size(), 2058u);
    ASSERT_EQ(tag.GetMusicInfo(&info), 1);
    EXPECT_STREQ(info.title, "Short");
    std::memset(info.artist, 'a', 1000);
    std::memset(info.album, 'b', 1000);
    std::memset(info.encoder, 'e', 100);
    std::strcpy(info.comment, kCjk);
    ASSERT_EQ(tag.UpdateFromMusicInfo(&info), 1);
    EXPECT_EQ(tag.Size(), 4106u);
    EXPECT_EQ(tag.Moved(), 1);
    ASSERT_EQ(tag.Write(file.object), 1);
  }
  const Bytes grown = wave_test::ReadFile(path);
  ASSERT_EQ(grown.size(), 4106 + audio.size());
  EXPECT_TRUE(std::equal(audio.begin(), audio.end(), grown.begin() + 4106));
  File file(path);
  CId3TagV2 tag;
  ASSERT_EQ(tag.Read(file.object, 0), 1);
  TMusicInfo back;
  tag.GetMusicInfo(&back);
  EXPECT_EQ(std::string(back.album), std::string(info.album));
  EXPECT_STREQ(back.comment, kCjk);
  EXPECT_STREQ(back.title, "Short");
}

TEST_F(Id3TagTest, DamagedAndForeignTagsAreReadSafely) {
  auto read = [&](const Bytes& bytes, TMusicInfo* info) {
    const std::string path = dir_.File("hand.mp3");
    wave_test::WriteFile(path, bytes);
    File file(path);
    CId3TagV2 tag;
    platform::clear_last_error();
    const int result = tag.Read(file.object, 0);
    tag.GetMusicInfo(info);
    return result;
  };
  auto latin = [](const std::string& s) {
    Bytes body(1 + s.size(), 0);
    std::copy(s.begin(), s.end(), body.begin() + 1);
    return body;
  };
  // A frame running past the tag: the frames before it stay.
  Bytes frames;
  AddFrame(frames, "TIT2", latin("Kept"), 5);
  AddFrame(frames, "TPE1", latin("Lost"), 500);
  TMusicInfo info;
  EXPECT_EQ(read(V2Tag(3, frames), &info), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrId3Malformed);
  EXPECT_STREQ(info.title, "Kept");
  EXPECT_STREQ(info.artist, "");
  // A tag size of 0, and a tag longer than its file.
  info = TMusicInfo{};
  EXPECT_EQ(read(V2Tag(3, frames, 0), &info), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrId3Malformed);
  EXPECT_EQ(read(V2Tag(3, latin("x"), 100000), &info), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrId3Malformed);

  // UTF-16 with and without byte-order mark, a v2.3 frame of 7-bit size as older versions of
  // this engine wrote it, and a compressed frame that is skipped.
  Bytes utf16 = {1, 0xFF, 0xFE, 'A', 0, 0xE9, 0, 0, 0, 0xFF, 0xFE, 'Z', 0};
  Bytes be = {2, 0, 'B', 0, 0xE9};
  Bytes album = latin(std::string(200, 'q'));
  frames.clear();
  AddFrame(frames, "TIT2", utf16, static_cast<uint32_t>(utf16.size()));
  AddFrame(frames, "TALB", album, 0x0100 | (album.size() - 128));  // 201 in 7-bit bytes
  AddFrame(frames, "TPE1", latin("Zipped"), 7, 0x80);
  AddFrame(frames, "TCOP", be, static_cast<uint32_t>(be.size()));
  frames.resize(frames.size() + 64);
  info = TMusicInfo{};
  EXPECT_EQ(read(V2Tag(3, frames), &info), 1);
  EXPECT_STREQ(info.title, "A\xC3\xA9");
  EXPECT_EQ(std::string(info.album), std::string(200, 'q'));
  EXPECT_STREQ(info.artist, "");
  EXPECT_STREQ(info.copyright, "B\xC3\xA9");  // no encoding 2 in v2.3, read all the same

  // Version 2.4: 7-bit frame sizes, UTF-8, "TDRC" for the year, a bare genre number.
  frames.clear();
  const std::string longTitle = std::string(150, 'w') + kCjk;
  Bytes title(1 + longTitle.size(), 3);
  std::copy(longTitle.begin(), longTitle.end(), title.begin() + 1);
  AddFrame(frames, "TIT2", title, 0x0100 | (title.size() - 128));
  AddFrame(frames, "TDRC", latin("2004-05-06"), 11);
  AddFrame(frames, "TCON", latin("13"), 3);
  info = TMusicInfo{};
  EXPECT_EQ(read(V2Tag(4, frames), &info), 1);
  EXPECT_EQ(std::string(info.title), longTitle);
  EXPECT_EQ(info.year, 2004);
  EXPECT_EQ(info.genreIndex, 13);

  // Version 2.2 has frames of another shape: nothing is read from it.
  frames.clear();
  frames = {'T', 'T', '2', 0, 0, 5, 0, 'O', 'l', 'd', '!'};
  info = TMusicInfo{};
  EXPECT_EQ(read(V2Tag(2, frames), &info), 1);
  EXPECT_STREQ(info.title, "");
}

TEST_F(Id3TagTest, MusicInfoRecordRoundTripsThroughAChunk) {
  SONARK_CMusicInfo record;
  EXPECT_EQ(record.genreIndex, 0);
  EXPECT_EQ(record.track, -1);
  TMusicInfo info;
  // 300 bytes of two-byte characters: cut to 254 bytes, never inside a character.
  std::string title;
  for (int i = 0; i < 150; ++i) title += "\xC3\xA9";
  std::strcpy(info.title, title.c_str());
  std::strcpy(info.encoder, "LAME");
  std::strcpy(info.copyright, "(c) Us");
  info.cdIdentifierLength = 3;
  info.cdIdentifier[2] = 9;
  info.year = 2020;
  info.track = 4;
  info.totalTracks = 10;
  info.original = 1;
  info.genreIndex = 8;
  info.tagType = ttId3V2;
  record = info;
  EXPECT_EQ(std::string(record.title), title.substr(0, 254));
  std::strcpy(record.filePath, "/music/a.mp3");
  record.flags[3] = true;
  record.waveFormat.nSamplesPerSec = 44100;
  record.numberC = 1LL << 40;
  record.numberE = 77;
  record.numberN = -5;

  for (TCBSVersion version : {kCBSVersion3, kCBSVersionOld}) {
    SCOPED_TRACE(version);
    const std::string path = dir_.File("record.riff");
    {
      File file(path, File::kCreate);
      ASSERT_NE(file.object, nullptr);
      CRIFF riff;
      ASSERT_EQ(riff.Create(file.object, tarnell::FourCC("TEST")), 1);
      ASSERT_EQ(riff.StartWriteStream(tarnell::FourCC("MINF")), 1);
      ASSERT_EQ(record.Write(riff, version), 1);
      EXPECT_EQ(riff.CurrentStreamDataCount(), version == kCBSVersion3
                                                   ? SONARK_CMusicInfo::kVersion3Size
                                                   : SONARK_CMusicInfo::kOldSize);
      ASSERT_EQ(riff.EndWriteStream(), 1);
    }
    // Number G was 0, so it and number I took number E.
    EXPECT_EQ(record.numberG, 77);
    EXPECT_EQ(record.numberI, 77);
    File file(path);
    CRIFF riff;
    _chunkInfo form{};
    ASSERT_EQ(riff.Open(file.object, &form), 1);
    // Leaves the object at the first chunk's data.
    ASSERT_EQ(riff.SeekToLevelBeginning(), 1);
    SONARK_CMusicInfo back;
    ASSERT_EQ(back.Read(riff, version), 1);
    EXPECT_STREQ(back.title, record.title);
    EXPECT_STREQ(back.filePath, "/music/a.mp3");
    EXPECT_EQ(back.numberC, 1LL << 40);
    EXPECT_EQ(back.numberG, 77);
    EXPECT_EQ(back.waveFormat.nSamplesPerSec, 44100u);
    EXPECT_TRUE(back.flags[3]);
    EXPECT_EQ(back.year, 2020);
    EXPECT_EQ(back.genreIndex, 8);
    if (version == kCBSVersion3) {
      EXPECT_EQ(std::memcmp(back.cdIdentifier, record.cdIdentifier, 804), 0);
      EXPECT_EQ(back.cdIdentifierLength, 3);
      EXPECT_EQ(back.track, 4);
      EXPECT_EQ(back.totalTracks, 10);
      EXPECT_STREQ(back.encoder, "LAME");
      EXPECT_STREQ(back.copyright, "(c) Us");
      EXPECT_TRUE(back.original);
      EXPECT_EQ(back.tagType, ttId3V2);
      EXPECT_EQ(back.numberN, -5);
    } else {
      EXPECT_EQ(back.track, -1);
      EXPECT_EQ(back.totalTracks, -1);
      EXPECT_STREQ(back.encoder, "");
      EXPECT_STREQ(back.copyright, "");
      EXPECT_EQ(back.numberN, 0);
      EXPECT_FALSE(back.original);
    }
  }
}

}  // namespace
