#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <tarnell/errors.h>
#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>

#include <string>
#include <vector>

#include "riff_test_support.h"

namespace {

using riff_test::Chunk;
using riff_test::Form;
using riff_test::Le32;
using riff_test::List;
using riff_test::MemObject;
using tarnell::FourCC;

struct Cursor {
  _chunkInfo level;
  _subChunk sub;
  long position;
  int levels;
};

Cursor Snapshot(CRIFF& riff) {
  Cursor c{};
  riff.GetCurrentChunkInfo(&c.level, &c.sub);
  c.position = riff.GetRefObj()->Tell();
  c.levels = riff.LevelsDown();
  return c;
}

void ExpectSameCursor(const Cursor& a, const Cursor& b) {
  EXPECT_EQ(a.level.id, b.level.id);
  EXPECT_EQ(a.level.size, b.level.size);
  EXPECT_EQ(a.level.type, b.level.type);
  EXPECT_EQ(a.sub.id, b.sub.id);
  EXPECT_EQ(a.sub.size, b.sub.size);
  EXPECT_EQ(a.position, b.position);
  EXPECT_EQ(a.levels, b.levels);
}

uint32_t Id(const std::string& fourChars) { return riff_test::Le32At(fourChars, 0); }

uint32_t CurrentId(CRIFF& riff) {
  _subChunk sub{};
  riff.GetCurrentChunkInfo(nullptr, &sub);
  return sub.id;
}

uint32_t CurrentSize(CRIFF& riff) {
  _subChunk sub{};
  riff.GetCurrentChunkInfo(nullptr, &sub);
  return sub.size;
}

// The wave image the writer produces for an 18-byte format and 1001 data bytes.
std::string WaveImage() {
  std::string data(1001, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i);
  return Form("WAVE", Chunk("fmt ", std::string(18, 'f')) + Chunk("data", data));
}

TEST(RiffRead, FindsTheDataChunkOfAWaveFile) {
  MemObject mem(WaveImage());
  CRIFF riff;
  _chunkInfo form{};
  ASSERT_EQ(1, riff.Open(mem.get(), &form));
  EXPECT_EQ(FourCC("RIFF"), form.id);
  EXPECT_EQ(1039u, form.size);
  EXPECT_EQ(FourCC("WAVE"), form.type);
  EXPECT_EQ(0, mem->Tell());  // Open leaves the object at the form
  EXPECT_EQ(FourCC("fmt "), CurrentId(riff));
  EXPECT_EQ(18u, CurrentSize(riff));

  ASSERT_EQ(1, riff.SeekToChunk(FourCC("data"), 0, 0));
  EXPECT_EQ(1001u, CurrentSize(riff));
  EXPECT_EQ(38 + 8, mem->Tell());  // header at 38, first data byte next
  EXPECT_EQ(0u, platform::last_error());

  std::vector<char> data(1001);
  EXPECT_EQ(1001, riff.ReadCurrentSubChunk(data.data(), 1001));
  EXPECT_EQ(0u, platform::last_error());
  EXPECT_EQ(static_cast<char>(1000 % 256), data[1000]);
  char more[4];
  EXPECT_EQ(0, riff.Read(more, 4));  // the object ends with the data
  EXPECT_EQ(tarnell::kErrRiffRead, platform::last_error());

  // Asking for a different amount is delivered but flagged.
  EXPECT_EQ(10, riff.ReadCurrentSubChunk(data.data(), 10));
  EXPECT_EQ(tarnell::kErrRiffRead, platform::last_error());
  EXPECT_EQ(4, riff.Read(more, 4));
  EXPECT_EQ(static_cast<char>(10), more[0]);

  // Already on it: found without moving.
  mem->Seek(100, 0);
  ASSERT_EQ(1, riff.SeekToChunk(FourCC("data"), 0, 0));
  EXPECT_EQ(100, mem->Tell());
  ASSERT_EQ(1, riff.SeekToChunkAtOffset(38));
  EXPECT_EQ(FourCC("data"), CurrentId(riff));
}

// A writer that stopped before patching leaves sizes of 0: the rest of the object counts.
TEST(RiffRead, ZeroSizesMeanTheRestOfTheObject) {
  std::string image = Form("WAVE", Chunk("fmt ", std::string(16, 'f')) + Chunk("data", ""));
  image += std::string(1000 - image.size(), 'd');
  ASSERT_EQ(FourCC("data"), riff_test::Le32At(image, 36));
  image.replace(4, 4, Le32(0));

  MemObject mem(image);
  CRIFF riff;
  _chunkInfo form{};
  ASSERT_EQ(1, riff.Open(mem.get(), &form));
  EXPECT_EQ(992u, form.size);  // everything after the 8-byte form header
  ASSERT_EQ(1, riff.SeekToChunk(FourCC("data"), 0, 1));
  EXPECT_EQ(956u, CurrentSize(riff));
  std::vector<char> data(956);
  EXPECT_EQ(956, riff.ReadCurrentSubChunk(data.data(), 956));
  EXPECT_EQ(0u, platform::last_error());
}

TEST(RiffRead, DescendOnAPlainChunkChangesNothing) {
  MemObject mem(WaveImage());
  CRIFF riff;
  ASSERT_EQ(1, riff.Open(mem.get(), nullptr));
  ASSERT_EQ(1, riff.SeekToChunk(FourCC("data"), 0, 0));
  platform::set_last_error(0x20000123);
  const Cursor before = Snapshot(riff);
  EXPECT_EQ(0, riff.Descend());
  ExpectSameCursor(before, Snapshot(riff));
  EXPECT_EQ(0x20000123u, platform::last_error());
  EXPECT_EQ(0, riff.Ascend());  // already at the top
}

TEST(RiffRead, FailedSearchWithRestoreLeavesTheCursor) {
  MemObject mem(Form("WAVE", Chunk("fmt ", "0123456789") + Chunk("fact", "abcd") +
                                 Chunk("data", std::string(40, 'd'))));
  CRIFF riff;
  ASSERT_EQ(1, riff.Open(mem.get(), nullptr));
  mem->Seek(21, 0);
  const Cursor before = Snapshot(riff);
  EXPECT_EQ(0, riff.SeekToChunk(FourCC("LIST"), 0, 1));
  EXPECT_EQ(tarnell::kErrNoSuchChunk, platform::last_error());
  ExpectSameCursor(before, Snapshot(riff));

  // Without restoring, the cursor stays on the last chunk looked at.
  EXPECT_EQ(0, riff.SeekToChunk(FourCC("LIST"), 0, 0));
  EXPECT_EQ(FourCC("data"), CurrentId(riff));
  EXPECT_EQ(0, riff.SeekToNextChunk());                  // exactly at the end of the level: no code
  EXPECT_EQ(0, riff.SeekToChunk(FourCC("fmt "), 1, 1));  // the search never goes back
}

TEST(RiffRead, NestedListsReadBack) {
  MemObject mem;
  mem->Create();
  {
    CRIFF writer;
    ASSERT_EQ(1, writer.Create(mem.get(), FourCC("sess")));
    ASSERT_EQ(1, writer.WriteListChunkHeader(FourCC("sgrp")));
    ASSERT_EQ(1, writer.Descend());
    char atom[5] = "atom";
    ASSERT_EQ(1, writer.WriteSubChunk(FourCC("atom"), atom, 3));
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(1, writer.WriteListChunkHeader(FourCC("sndc")));
      ASSERT_EQ(1, writer.Descend());
      ASSERT_EQ(1, writer.WriteSubChunk(FourCC("sref"), atom, 1 + i));
      ASSERT_EQ(1, writer.Ascend());
    }
    ASSERT_EQ(1, writer.Ascend());
    ASSERT_EQ(1, writer.WriteSubChunk(FourCC("zbar"), atom, 4));
  }
  mem->Seek(0, 0);

  CRIFF riff;
  ASSERT_EQ(1, riff.Open(mem.get(), nullptr));
  ASSERT_EQ(1, riff.Descend());
  _chunkInfo level{};
  riff.GetCurrentChunkInfo(&level, nullptr);
  EXPECT_EQ(FourCC("sgrp"), level.type);
  EXPECT_EQ(FourCC("atom"), CurrentId(riff));
  EXPECT_EQ(32, mem->Tell());  // first data byte of "atom"

  for (uint32_t i = 0; i < 2; ++i) {
    ASSERT_EQ(1, riff.SeekToChunk(FourCC("LIST"), 1, 1));
    ASSERT_EQ(1, riff.Descend());
    EXPECT_EQ(2, riff.LevelsDown());
    EXPECT_EQ(FourCC("sref"), CurrentId(riff));
    EXPECT_EQ(1 + i, CurrentSize(riff));
    EXPECT_EQ(0, riff.SeekToNextChunk());
    ASSERT_EQ(1, riff.Ascend());
    EXPECT_EQ(FourCC("LIST"), CurrentId(riff));
    EXPECT_EQ(13 + i, CurrentSize(riff));
  }
  ASSERT_EQ(1, riff.Ascend());
  EXPECT_EQ(12, mem->Tell());  // just after the form's header
  ASSERT_EQ(1, riff.SeekToNextChunk());
  EXPECT_EQ(FourCC("zbar"), CurrentId(riff));
  char zbar[4];
  EXPECT_EQ(4, riff.Read(zbar, 4));
  EXPECT_EQ(0u, platform::last_error());
}

class RiffWalk : public ::testing::Test {
 protected:
  // Odd and empty chunks, no pad bytes: A at 12, B at 23, C at 31, D at 44.
  RiffWalk()
      : mem_(Form("test", Chunk("A   ", "aaa") + Chunk("B   ", "") + Chunk("C   ", "ccccc") +
                              Chunk("D   ", "d"))) {}
  void SetUp() override { ASSERT_EQ(1, riff_.Open(mem_.get(), nullptr)); }

  MemObject mem_;
  CRIFF riff_;
};

TEST_F(RiffWalk, NextAndPreviousVisitEveryChunk) {
  const char* ids[] = {"A   ", "B   ", "C   ", "D   "};
  const long data[] = {20, 31, 39, 52};
  for (int i = 1; i < 4; ++i) {
    ASSERT_EQ(1, riff_.SeekToNextChunk());
    EXPECT_EQ(Id(ids[i]), CurrentId(riff_));
    EXPECT_EQ(data[i], mem_->Tell());
  }
  platform::set_last_error(0x20000123);
  EXPECT_EQ(0, riff_.SeekToNextChunk());
  EXPECT_EQ(0x20000123u, platform::last_error());

  for (int i = 2; i >= 0; --i) {
    ASSERT_EQ(1, riff_.SeekToPreviousChunk());
    EXPECT_EQ(Id(ids[i]), CurrentId(riff_));
    EXPECT_EQ(data[i], mem_->Tell());
  }
  const Cursor first = Snapshot(riff_);
  EXPECT_EQ(0, riff_.SeekToPreviousChunk());
  EXPECT_EQ(tarnell::kErrNoSuchChunk, platform::last_error());
  ExpectSameCursor(first, Snapshot(riff_));
}

TEST_F(RiffWalk, LevelBeginningAndOffsets) {
  ASSERT_EQ(1, riff_.SeekToChunkAtOffset(31));
  EXPECT_EQ(FourCC("C   "), CurrentId(riff_));
  EXPECT_EQ(39, mem_->Tell());
  const Cursor onC = Snapshot(riff_);
  EXPECT_EQ(0, riff_.SeekToChunkAtOffset(53));  // one past the level
  EXPECT_EQ(tarnell::kErrNoSuchChunk, platform::last_error());
  EXPECT_EQ(0, riff_.SeekToChunkAtOffset(-1));
  EXPECT_EQ(0, riff_.SeekToChunkAtOffset(50));  // inside, but no header fits there
  ExpectSameCursor(onC, Snapshot(riff_));

  ASSERT_EQ(1, riff_.SeekToLevelBeginning());
  EXPECT_EQ(FourCC("A   "), CurrentId(riff_));
  EXPECT_EQ(20, mem_->Tell());
}

// The last chunks of a level are reachable however small they are.
TEST_F(RiffWalk, SmallLastChunksAreFound) {
  ASSERT_EQ(1, riff_.SeekToChunk(FourCC("D   "), 0, 1));
  EXPECT_EQ(1u, CurrentSize(riff_));
  ASSERT_EQ(1, riff_.SeekToLevelBeginning());
  ASSERT_EQ(1, riff_.SeekToChunk(FourCC("B   "), 1, 1));

  MemObject empty(Form("test", Chunk("A   ", "a") + Chunk("Z   ", "")));
  CRIFF riff;
  ASSERT_EQ(1, riff.Open(empty.get(), nullptr));
  ASSERT_EQ(1, riff.SeekToNextChunk());
  EXPECT_EQ(FourCC("Z   "), CurrentId(riff));
  ASSERT_EQ(1, riff.SeekToLevelBeginning());
  ASSERT_EQ(1, riff.SeekToChunk(FourCC("Z   "), 1, 1));
}

// A form whose size is 0 on disk keeps its real extent when the cursor climbs back to it.
TEST(RiffRead, AscendToAnUnpatchedFormKeepsItsSize) {
  std::string image = Form("sess", List("sgrp", Chunk("atom", "12")) + Chunk("zbar", "zz"));
  image.replace(4, 4, Le32(0));
  MemObject mem(image);
  CRIFF riff;
  ASSERT_EQ(1, riff.Open(mem.get(), nullptr));
  ASSERT_EQ(1, riff.Descend());
  ASSERT_EQ(1, riff.Ascend());
  _chunkInfo level{};
  riff.GetCurrentChunkInfo(&level, nullptr);
  EXPECT_EQ(image.size() - 8, level.size);
  ASSERT_EQ(1, riff.SeekToNextChunk());
  EXPECT_EQ(FourCC("zbar"), CurrentId(riff));
}

TEST(RiffRead, OpensAFormThatStartsInsideTheObject) {
  const std::string form = Form("WAVE", Chunk("fmt ", "ff") + List("INFO", Chunk("INAM", "x")));
  MemObject mem("junk!" + form + "tail");
  mem->Seek(5, 0);
  CRIFF riff;
  ASSERT_EQ(1, riff.Open(mem.get(), nullptr));
  EXPECT_EQ(5, mem->Tell());
  ASSERT_EQ(1, riff.SeekToNextChunk());
  ASSERT_EQ(1, riff.Descend());
  EXPECT_EQ(FourCC("INAM"), CurrentId(riff));
  ASSERT_EQ(1, riff.Ascend());
  EXPECT_EQ(0, riff.SeekToNextChunk());  // "tail" lies outside the form
  ASSERT_EQ(1, riff.SeekToLevelBeginning());
  EXPECT_EQ(FourCC("fmt "), CurrentId(riff));
}

TEST(RiffDamaged, RefusesWhatIsNotAForm) {
  CRIFF riff;
  MemObject closed;
  EXPECT_EQ(0, riff.Open(closed.get(), nullptr));
  EXPECT_EQ(tarnell::kErrNotOpen, platform::last_error());

  MemObject wrongId("RIFX" + Le32(4) + "WAVE" + Chunk("fmt ", ""));
  EXPECT_EQ(0, riff.Open(wrongId.get(), nullptr));
  EXPECT_EQ(tarnell::kErrNotRiff, platform::last_error());

  MemObject shortHeader("RIFF" + Le32(4));
  EXPECT_EQ(0, riff.Open(shortHeader.get(), nullptr));
  EXPECT_EQ(tarnell::kErrRiffRead, platform::last_error());

  MemObject headerOnly(Form("WAVE", ""));
  EXPECT_EQ(0, riff.Open(headerOnly.get(), nullptr));
  EXPECT_EQ(tarnell::kErrRiffRead, platform::last_error());
  EXPECT_EQ(-1, riff.LevelsDown());
  EXPECT_EQ(1, headerOnly->References());
}

TEST(RiffDamaged, HugeAndTruncatedSizesEndTheSearch) {
  // A size that runs past the object, then one that would wrap 32-bit arithmetic.
  std::string image = Form("WAVE", Chunk("fmt ", "ff") + "junk" + Le32(0xFFFFFFF0u) + "xx");
  MemObject mem(image);
  CRIFF riff;
  ASSERT_EQ(1, riff.Open(mem.get(), nullptr));
  EXPECT_EQ(0, riff.SeekToChunk(FourCC("data"), 0, 1));
  EXPECT_NE(0u, platform::last_error());
  ASSERT_EQ(1, riff.SeekToNextChunk());
  EXPECT_EQ(FourCC("junk"), CurrentId(riff));
  EXPECT_EQ(0, riff.SeekToNextChunk());
  EXPECT_EQ(tarnell::kErrNoSuchChunk, platform::last_error());
  std::vector<char> buf(16);
  EXPECT_EQ(2, riff.ReadCurrentSubChunk(buf.data(), 16));
  EXPECT_EQ(tarnell::kErrRiffRead, platform::last_error());
  ASSERT_EQ(1, riff.SeekToPreviousChunk());
  EXPECT_EQ(FourCC("fmt "), CurrentId(riff));
}

TEST(RiffDamaged, DescendStopsAtFortyNineLevels) {
  std::string body = Chunk("leaf", "x");
  for (int i = 0; i < 60; ++i) body = List("deep", body);
  MemObject mem(Form("test", body));
  CRIFF riff;
  ASSERT_EQ(1, riff.Open(mem.get(), nullptr));
  int levels = 0;
  while (riff.Descend()) ++levels;
  EXPECT_EQ(49, levels);
  EXPECT_EQ(49, riff.LevelsDown());
  EXPECT_EQ(tarnell::kErrTooDeep, platform::last_error());
  while (riff.Ascend()) --levels;
  EXPECT_EQ(0, levels);
  EXPECT_EQ(FourCC("LIST"), CurrentId(riff));
}

TEST(RiffDamaged, DescendIntoACutListKeepsTheCursor) {
  // The form and the list claim more than there is: the object ends inside the list header.
  std::string image = Form("WAVE", Chunk("fmt ", "ff")) + "LIST" + Le32(40) + "IN";
  image.replace(4, 4, Le32(static_cast<uint32_t>(image.size() - 8 + 30)));
  MemObject lying(image);
  CRIFF riff;
  ASSERT_EQ(1, riff.Open(lying.get(), nullptr));
  ASSERT_EQ(1, riff.SeekToNextChunk());
  ASSERT_EQ(FourCC("LIST"), CurrentId(riff));
  const Cursor before = Snapshot(riff);
  EXPECT_EQ(0, riff.Descend());
  EXPECT_EQ(tarnell::kErrLevelHeaderRead, platform::last_error());
  ExpectSameCursor(before, Snapshot(riff));
}

}  // namespace
