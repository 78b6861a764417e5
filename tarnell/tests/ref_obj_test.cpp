#include <gtest/gtest.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <tarnell/ref_obj.h>

#include <string>

#include "temp_dir.h"

namespace {

class Tracked : public CRefObj {
 public:
  explicit Tracked(bool* destroyed) : destroyed_(destroyed) {}
  ~Tracked() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

TEST(RefObj, LastReleaseDestroysAndNullsTheHolder) {
  bool destroyed = false;
  CRefObj* object = new Tracked(&destroyed);
  EXPECT_EQ(object->References(), 1);
  object->AddReference();
  EXPECT_EQ(object->References(), 2);

  CRefObj* holder = object;
  DeleteRefObject(&holder);
  EXPECT_EQ(holder, object);  // another reference remains
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(object->References(), 1);

  DeleteRefObject(&holder);
  EXPECT_EQ(holder, nullptr);
  EXPECT_TRUE(destroyed);

  DeleteRefObject(&holder);  // an empty holder is left alone
  DeleteRefObject(nullptr);
}

TEST(RefObj, BaseObjectDoesNothingAndCopiesItsModes) {
  CRefObj base;
  char buf[4] = {};
  EXPECT_EQ(base.IsOpen(), 0);
  EXPECT_EQ(base.Read(buf, 4), 0);
  EXPECT_EQ(base.Write(buf, 4), 0);
  EXPECT_EQ(base.WriteData(buf, 4, 1), 0);
  EXPECT_EQ(base.Seek(0, 0), 0);
  EXPECT_EQ(base.Type(), 0);
  EXPECT_EQ(base.Copy(&base), 0);

  base.SetWriteMode(1);
  base.SetDataMode(1);
  CRefObj* copy = base.Copy();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->WriteMode(), 1);
  EXPECT_EQ(copy->DataMode(), 1);
  EXPECT_EQ(copy->References(), 1);
  DeleteRefObject(&copy);
  EXPECT_EQ(copy, nullptr);
}

class ReadNextStringTest : public ::testing::Test {
 protected:
  void Load(const std::string& text) {
    ASSERT_TRUE(
        mem_.Open(reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())), text.size()));
  }
  std::string Next(long max_length = 4096) {
    std::string buf(static_cast<size_t>(max_length) + 1, '#');
    const long n = mem_.ReadNextString(buf.data(), max_length);
    EXPECT_EQ(buf[static_cast<size_t>(n)], '\0');
    return buf.substr(0, static_cast<size_t>(n));
  }

  CMemObj mem_;
};

TEST_F(ReadNextStringTest, SkipsLineBreakPairsAndEndsWithEmptyString) {
  Load("ab\r\n\r\ncd");
  EXPECT_EQ(Next(), "ab");
  EXPECT_EQ(Next(), "cd");
  EXPECT_EQ(Next(), "");
  EXPECT_EQ(Next(), "");
}

TEST_F(ReadNextStringTest, BreaksAtTheStartOfTheDataBelongToTheFirstLine) {
  Load("\n\nx\ny");
  EXPECT_EQ(Next(), "\n\nx");
  EXPECT_EQ(Next(), "y");
}

TEST_F(ReadNextStringTest, LongLinesSpanSeveralChunks) {
  const std::string first(2500, 'a');
  const std::string second(1024, 'b');  // ends exactly on a chunk boundary of its own call
  Load(first + "\r\n" + second + "\r\nlast");
  EXPECT_EQ(Next(), first);
  EXPECT_EQ(Next(), second);
  EXPECT_EQ(Next(), "last");
}

TEST_F(ReadNextStringTest, BreakPairSplitByTheChunkBoundaryIsSkippedWhole) {
  const std::string line(1023, 'x');  // CR is byte 1023, LF the first of the next chunk
  Load(line + "\r\nnext");
  EXPECT_EQ(Next(), line);
  EXPECT_EQ(Next(), "next");
}

TEST_F(ReadNextStringTest, LineLongerThanMaximumIsCutAndTheRestSkipped) {
  Load("abcdef\nxyz\nabc\nq");
  EXPECT_EQ(Next(3), "abc");
  EXPECT_EQ(Next(3), "xyz");
  EXPECT_EQ(Next(3), "abc");  // exactly the maximum
  EXPECT_EQ(Next(3), "q");

  Load(std::string(3000, 'z') + "\nafter");
  EXPECT_EQ(Next(10), std::string(10, 'z'));
  EXPECT_EQ(Next(10), "after");
}

TEST_F(ReadNextStringTest, NoRoomGivesEmptyStringWithoutMoving) {
  Load("abc");
  char buf[1] = {'#'};
  EXPECT_EQ(mem_.ReadNextString(buf, 0), 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(mem_.Tell(), 0);
  EXPECT_EQ(mem_.ReadNextString(nullptr, 10), 0);
}

TEST(ReadNextStringFile, ReadsLinesFromAFile) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  CFileObj file;
  ASSERT_TRUE(file.Create(dir.File("lines.txt").c_str()));
  const std::string text = "1.2.3\r\nhttp://example.org/page\r\nhttp://example.org/get\r\n";
  ASSERT_EQ(file.Write(text.data(), static_cast<long>(text.size())),
            static_cast<long>(text.size()));
  ASSERT_TRUE(file.Seek(0, 0));
  char buf[64];
  EXPECT_EQ(file.ReadNextString(buf, 63), 5);
  EXPECT_STREQ(buf, "1.2.3");
  EXPECT_EQ(file.ReadNextString(buf, 63), 23);
  EXPECT_STREQ(buf, "http://example.org/page");
  EXPECT_EQ(file.ReadNextString(buf, 63), 22);
  EXPECT_EQ(file.ReadNextString(buf, 63), 0);
  EXPECT_STREQ(buf, "");
}

}  // namespace
