#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <platform/wave_format.h>
#include <tarnell/errors.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "riff_test_support.h"

namespace {

using riff_test::Le32At;
using riff_test::MemObject;
using riff_test::WellFormed;
using tarnell::FourCC;

tWAVEFORMATEX Pcm16Mono(uint32_t rate) { return {kWaveFormatPcm, 1, rate, rate * 2, 2, 16, 0}; }

std::vector<char> Staircase(size_t n) {
  std::vector<char> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(i * 7 + 3);
  return out;
}

class RiffWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    mem_->Create();
    ASSERT_EQ(1, riff_.Create(mem_.get(), FourCC("WAVE")));
  }

  MemObject mem_;
  CRIFF riff_;
};

TEST_F(RiffWriter, WaveWithOddStreamHasExactSizesAndNoPad) {
  tWAVEFORMATEX format = Pcm16Mono(8000);
  ASSERT_EQ(1, riff_.WriteSubChunk(FourCC("fmt "), &format, sizeof format));
  ASSERT_EQ(1, riff_.StartWriteStream(FourCC("data")));

  std::vector<char> data = Staircase(1001);
  // Pieces of uneven size, as a renderer hands them over.
  ASSERT_EQ(500, riff_.WriteStreamData(data.data(), 500));
  ASSERT_EQ(1, riff_.WriteStreamData(data.data() + 500, 1));
  ASSERT_EQ(500, riff_.WriteStreamData(data.data() + 501, 500));
  EXPECT_EQ(1001, riff_.CurrentStreamDataCount());

  // Until the stream ends its header says 0 and the form does not count it.
  std::string open = mem_.Bytes();
  EXPECT_EQ(0u, Le32At(open, 42));
  EXPECT_EQ(30u, Le32At(open, 4));

  ASSERT_EQ(1, riff_.EndWriteStream());
  EXPECT_EQ(0, riff_.CurrentStreamDataCount());
  std::string bytes = mem_.Bytes();
  ASSERT_EQ(1047u, bytes.size());
  EXPECT_EQ(1039u, Le32At(bytes, 4));
  EXPECT_EQ(FourCC("WAVE"), Le32At(bytes, 8));
  EXPECT_EQ(FourCC("fmt "), Le32At(bytes, 12));
  EXPECT_EQ(18u, Le32At(bytes, 16));
  EXPECT_EQ(FourCC("data"), Le32At(bytes, 38));
  EXPECT_EQ(1001u, Le32At(bytes, 42));
  EXPECT_EQ(std::string(data.begin(), data.end()), bytes.substr(46));
  EXPECT_TRUE(WellFormed(bytes));
}

TEST_F(RiffWriter, InfoListPatchesListAndForm) {
  ASSERT_EQ(1, riff_.WriteSubChunk(FourCC("fmt "), nullptr, 0));
  const uint32_t before = Le32At(mem_.Bytes(), 4);

  ASSERT_EQ(1, riff_.WriteListChunkHeader(FourCC("INFO")));
  ASSERT_EQ(1, riff_.Descend());
  EXPECT_EQ(1, riff_.LevelsDown());
  char name[] = "Tide\0";
  char soft[] = "abcd";
  ASSERT_EQ(1, riff_.WriteSubChunk(FourCC("INAM"), name, 6));
  ASSERT_EQ(1, riff_.WriteSubChunk(FourCC("ISFT"), soft, 5));
  ASSERT_EQ(1, riff_.Ascend());
  EXPECT_EQ(0, riff_.LevelsDown());

  std::string bytes = mem_.Bytes();
  EXPECT_EQ(before + 39, Le32At(bytes, 4));
  EXPECT_EQ(31u, Le32At(bytes, 24));  // the list header follows the empty "fmt " chunk
  EXPECT_TRUE(WellFormed(bytes));

  // The finished list is the current sub-chunk.
  _chunkInfo level{};
  _subChunk sub{};
  riff_.GetCurrentChunkInfo(&level, &sub);
  EXPECT_EQ(FourCC("RIFF"), level.id);
  EXPECT_EQ(before + 39, level.size);
  EXPECT_EQ(FourCC("LIST"), sub.id);
  EXPECT_EQ(31u, sub.size);
}

TEST_F(RiffWriter, NestedListsStayWellFormedAfterEveryCall) {
  std::vector<char> payload = Staircase(37);
  auto check = [&] { ASSERT_TRUE(WellFormed(mem_.Bytes())); };
  for (int depth = 0; depth < 4; ++depth) {
    ASSERT_EQ(1, riff_.WriteSubChunk(FourCC("odd "), payload.data(), 3 + depth));
    check();
    ASSERT_EQ(1, riff_.WriteListChunkHeader(FourCC("nest")));
    check();
    ASSERT_EQ(1, riff_.Descend());
  }
  ASSERT_EQ(1, riff_.StartWriteStream(FourCC("strm")));
  ASSERT_EQ(37, riff_.WriteStreamData(payload.data(), 37));
  // A stream patched on the way (as a recording is, against a crash) is a whole file at each
  // patch, and the patches are not counted twice when it ends.
  ASSERT_EQ(1, riff_.PatchStreamSizes());
  check();
  ASSERT_EQ(37, riff_.WriteStreamData(payload.data(), 37));
  ASSERT_EQ(1, riff_.PatchStreamSizes());
  check();
  EXPECT_EQ(74u, Le32At(mem_.Bytes(), static_cast<size_t>(mem_->Size()) - 78));
  ASSERT_EQ(37, riff_.WriteStreamData(payload.data(), 37));
  ASSERT_EQ(1, riff_.EndWriteStream());
  check();
  EXPECT_EQ(111u, Le32At(mem_.Bytes(), static_cast<size_t>(mem_->Size()) - 115));
  for (int depth = 3; depth >= 0; --depth) {
    ASSERT_EQ(1, riff_.Ascend());
    ASSERT_EQ(1, riff_.WriteSubChunk(FourCC("tail"), payload.data(), 1));
    check();
  }
  EXPECT_EQ(0, riff_.Ascend());
}

// An embedded sound list is followed by a stream in the same level: the stream's size must
// land in its own header, not in the list's, wherever the cursor stood when it began.
TEST_F(RiffWriter, StreamAfterAscendPatchesItsOwnHeader) {
  ASSERT_EQ(1, riff_.WriteListChunkHeader(FourCC("sndc")));
  ASSERT_EQ(1, riff_.Descend());
  char atom[9] = "atomdata";
  ASSERT_EQ(1, riff_.WriteSubChunk(FourCC("atom"), atom, 8));
  ASSERT_EQ(1, riff_.Ascend());
  const long listEnd = mem_->Size();

  ASSERT_EQ(1, riff_.StartWriteStream(FourCC("tmrk")));
  std::vector<char> marks = Staircase(148);
  ASSERT_EQ(148, riff_.WriteStreamData(marks.data(), 148));
  ASSERT_EQ(1, riff_.EndWriteStream());
  ASSERT_EQ(1, riff_.WriteSubChunk(FourCC("zbar"), atom, 3));

  std::string bytes = mem_.Bytes();
  EXPECT_EQ(20u, Le32At(bytes, 16));  // list: type + atom chunk
  EXPECT_EQ(FourCC("tmrk"), Le32At(bytes, listEnd));
  EXPECT_EQ(148u, Le32At(bytes, listEnd + 4));
  EXPECT_EQ(FourCC("zbar"), Le32At(bytes, listEnd + 156));
  EXPECT_TRUE(WellFormed(bytes));
}

TEST_F(RiffWriter, RawWritesAppendAfterSizePatches) {
  char fmt[4] = {1, 2, 3, 4};
  ASSERT_EQ(1, riff_.WriteSubChunk(FourCC("fmt "), fmt, 4));
  // A chunk built piecewise: its header, then its data in two calls.
  std::string header = "smap" + riff_test::Le32(6);
  ASSERT_EQ(8, riff_.Write(header.data(), 8));
  char body[] = "abcdef";
  ASSERT_EQ(2, riff_.Write(body, 2));
  ASSERT_EQ(4, riff_.Write(body + 2, 4));

  std::string bytes = mem_.Bytes();
  EXPECT_EQ(FourCC("WAVE"), Le32At(bytes, 8));  // the form header was not overwritten
  EXPECT_EQ(FourCC("smap"), Le32At(bytes, 24));
  EXPECT_EQ("abcdef", bytes.substr(32));
  EXPECT_TRUE(WellFormed(bytes));
}

TEST_F(RiffWriter, OtherWritesAreRefusedWhileAStreamIsOpen) {
  char format[4] = {1, 0, 1, 0};
  ASSERT_EQ(1, riff_.WriteSubChunk(FourCC("fmt "), format, 4));
  ASSERT_EQ(1, riff_.StartWriteStream(FourCC("data")));
  char bytes[16] = "0123456789abcde";
  ASSERT_EQ(10, riff_.WriteStreamData(bytes, 10));

  EXPECT_EQ(0, riff_.WriteSubChunk(FourCC("fact"), bytes, 4));
  EXPECT_EQ(tarnell::kErrNotOpen, platform::last_error());
  EXPECT_EQ(0, riff_.WriteListChunkHeader(FourCC("INFO")));
  EXPECT_EQ(0, riff_.Write(bytes, 4));
  EXPECT_EQ(0, riff_.StartWriteStream(FourCC("more")));

  // A read between stream writes moves the object and the cursor; the stream still
  // continues and is patched in place.
  ASSERT_EQ(1, riff_.SeekToLevelBeginning());
  ASSERT_EQ(5, riff_.WriteStreamData(bytes + 10, 5));
  ASSERT_EQ(1, riff_.EndWriteStream());
  EXPECT_EQ(0, riff_.EndWriteStream());

  std::string image = mem_.Bytes();
  EXPECT_EQ(4u, Le32At(image, 16));
  EXPECT_EQ(15u, Le32At(image, 28));
  EXPECT_EQ("0123456789abcde", image.substr(32));
  EXPECT_TRUE(WellFormed(image));
}

TEST(RiffCreate, RefusesObjectsThatCannotBeWritten) {
  CRIFF riff;
  MemObject closed;
  EXPECT_EQ(0, riff.Create(closed.get(), FourCC("WAVE")));
  EXPECT_EQ(tarnell::kErrNotOpen, platform::last_error());
  EXPECT_EQ(-1, riff.LevelsDown());

  MemObject readOnly(riff_test::Form("WAVE", ""));
  ASSERT_EQ(0, readOnly->WriteMode());
  EXPECT_EQ(0, riff.Create(readOnly.get(), FourCC("WAVE")));
  EXPECT_EQ(tarnell::kErrNotOpen, platform::last_error());
  EXPECT_EQ(nullptr, riff.GetRefObj());

  EXPECT_EQ(0, riff.WriteSubChunk(FourCC("fmt "), nullptr, 0));
  EXPECT_EQ(0, riff.Descend());
  EXPECT_EQ(-1, riff.ReadCurrentSubChunk(nullptr, 0));
}

TEST(RiffCreate, HoldsItsOwnReferenceUntilClosed) {
  MemObject mem;
  mem->Create();
  CRIFF riff;
  ASSERT_EQ(1, riff.Create(mem.get(), FourCC("sess")));
  EXPECT_EQ(2, mem->References());
  riff.Close();
  EXPECT_EQ(1, mem->References());
  EXPECT_EQ(-1, riff.LevelsDown());
  {
    CRIFF scoped;
    ASSERT_EQ(1, scoped.Create(mem.get(), FourCC("sess")));
  }
  EXPECT_EQ(1, mem->References());
}

TEST(RiffCreate, ReopeningTheObjectItAloneHoldsKeepsItAlive) {
  CRefObj* mem = new CMemObj;
  static_cast<CMemObj*>(mem)->Create();
  CRIFF riff;
  ASSERT_EQ(1, riff.Create(mem, FourCC("sess")));
  char c = 'x';
  ASSERT_EQ(1, riff.WriteSubChunk(FourCC("one "), &c, 1));
  DeleteRefObject(&mem);  // the cursor now holds the only reference
  riff.GetRefObj()->Seek(0, 0);
  ASSERT_EQ(1, riff.Open(riff.GetRefObj(), nullptr));
  EXPECT_EQ(1, riff.GetRefObj()->References());
  _subChunk sub{};
  riff.GetCurrentChunkInfo(nullptr, &sub);
  EXPECT_EQ(FourCC("one "), sub.id);
}

// Appending to a form that was opened for reading works at its end only.
TEST(RiffAppend, OpenedFormGrowsOnlyFromItsLastLevel) {
  using riff_test::Chunk;
  using riff_test::List;
  const std::string image =
      riff_test::Form("WAVE", List("erly", Chunk("a   ", "12")) + List("last", Chunk("b   ", "3")));
  MemObject mem(image);
  mem->SetWriteMode(1);
  CRIFF riff;
  ASSERT_EQ(1, riff.Open(mem.get(), nullptr));

  ASSERT_EQ(1, riff.Descend());  // into "erly", which other chunks follow
  char c = 'x';
  EXPECT_EQ(0, riff.WriteSubChunk(FourCC("new "), &c, 1));
  EXPECT_EQ(tarnell::kErrNotOpen, platform::last_error());
  EXPECT_EQ(image, mem.Bytes());

  ASSERT_EQ(1, riff.Ascend());
  ASSERT_EQ(1, riff.SeekToNextChunk());
  ASSERT_EQ(1, riff.Descend());  // into "last"
  ASSERT_EQ(1, riff.WriteSubChunk(FourCC("new "), &c, 1));
  std::string bytes = mem.Bytes();
  EXPECT_EQ(image.size() + 9, bytes.size());
  EXPECT_TRUE(WellFormed(bytes));
  // The reading cursor is left where it was.
  _subChunk sub{};
  riff.GetCurrentChunkInfo(nullptr, &sub);
  EXPECT_EQ(FourCC("b   "), sub.id);

  // Bytes behind the form (a tag, say) are never overwritten.
  MemObject tagged(image + "TAG");
  tagged->SetWriteMode(1);
  ASSERT_EQ(1, riff.Open(tagged.get(), nullptr));
  EXPECT_EQ(0, riff.WriteSubChunk(FourCC("new "), &c, 1));
  EXPECT_EQ(image + "TAG", tagged.Bytes());
}

bool HaveProgram(const char* name) {
  std::string probe = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(probe.c_str()) == 0;
}

std::string RunAndCapture(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::array<char, 256> buf{};
  while (fgets(buf.data(), buf.size(), pipe) != nullptr) out += buf.data();
  pclose(pipe);
  return out;
}

// sox must read a wave file written to disk through a stream, with an INFO list after it.
TEST(RiffFile, SoxReadsTheWaveFileWeWrite) {
  if (!HaveProgram("sox")) GTEST_SKIP() << "sox is not installed";
  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("riff_write_test_" + std::to_string(getpid()) + ".wav");
  {
    CFileObj* file = new CFileObj;
    ASSERT_EQ(1, file->Create(path.c_str()));
    CRIFF riff;
    ASSERT_EQ(1, riff.Create(file, FourCC("WAVE")));
    tWAVEFORMATEX format = Pcm16Mono(22050);
    ASSERT_EQ(1, riff.WriteSubChunk(FourCC("fmt "), &format, sizeof format));
    ASSERT_EQ(1, riff.StartWriteStream(FourCC("data")));
    std::vector<int16_t> samples(22050);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 3);
    for (size_t i = 0; i < samples.size(); i += 1000) {
      const long n = static_cast<long>(std::min<size_t>(1000, samples.size() - i)) * 2;
      ASSERT_EQ(n, riff.WriteStreamData(&samples[i], n));
    }
    ASSERT_EQ(1, riff.EndWriteStream());
    ASSERT_EQ(1, riff.WriteListChunkHeader(FourCC("INFO")));
    ASSERT_EQ(1, riff.Descend());
    char title[6] = "Test";  // even size, zero padded
    ASSERT_EQ(1, riff.WriteSubChunk(FourCC("INAM"), title, 6));
    ASSERT_EQ(1, riff.Ascend());
    CRefObj* held = file;
    DeleteRefObject(&held);
  }
  const std::string info = RunAndCapture("sox --i '" + path.string() + "' 2>&1");
  std::filesystem::remove(path);
  EXPECT_NE(std::string::npos, info.find("Sample Rate    : 22050")) << info;
  EXPECT_NE(std::string::npos, info.find("Channels       : 1")) << info;
  EXPECT_NE(std::string::npos, info.find("22050 samples")) << info;
  EXPECT_NE(std::string::npos, info.find("Precision      : 16-bit")) << info;
}

}  // namespace
