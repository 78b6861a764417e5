#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <tarnell/errors.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

// Bytes 0, 1, 2, ... so that every position can be recognised by its value.
std::vector<char> Staircase(size_t n) {
  std::vector<char> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i);
  return bytes;
}

class FileObjTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    path_ = dir_.File("data.bin");
  }
  // Writes `n` staircase bytes to path_ and reopens it.
  void MakeFile(size_t n, int read_write) {
    CFileObj writer;
    ASSERT_TRUE(writer.Create(path_.c_str()));
    const auto bytes = Staircase(n);
    ASSERT_EQ(writer.Write(bytes.data(), static_cast<long>(n)), static_cast<long>(n));
    writer.Close();
    ASSERT_TRUE(file_.Open(path_.c_str(), 0, read_write));
  }

  TempDir dir_;
  std::string path_;
  CFileObj file_;
};

TEST_F(FileObjTest, CreateWriteAndReopen) {
  ASSERT_TRUE(file_.Create(path_.c_str()));
  EXPECT_EQ(file_.Type(), 1);
  EXPECT_EQ(file_.WriteMode(), 1);
  EXPECT_STREQ(file_.FilePath(), path_.c_str());
  EXPECT_EQ(file_.Write("hello", 5), 5);
  EXPECT_EQ(file_.Size(), 5);
  EXPECT_EQ(file_.Tell(), 5);
  EXPECT_EQ(file_.Write("x", -1), 0);
  file_.Close();
  EXPECT_EQ(file_.IsOpen(), 0);
  EXPECT_EQ(file_.Tell(), 0);
  EXPECT_STREQ(file_.FilePath(), path_.c_str());  // the path survives a close

  ASSERT_TRUE(file_.Open(path_.c_str(), 0, 0));
  EXPECT_EQ(file_.WriteMode(), 0);
  EXPECT_EQ(file_.Size(), 5);
  char buf[16] = {};
  EXPECT_EQ(file_.Read(buf, 16), 5);  // no more than the file holds
  EXPECT_STREQ(buf, "hello");
  EXPECT_EQ(file_.Read(buf, 16), 0);
}

TEST_F(FileObjTest, ReadOnlyFileRefusesWrites) {
  MakeFile(20, 0);
  ASSERT_TRUE(file_.SetDataOffsets(0, 20));
  EXPECT_EQ(file_.WriteData("abcd", 4, 0), -1);
  EXPECT_EQ(file_.WriteData("abcd", 4, 1), -1);
  EXPECT_EQ(file_.Write("abcd", 4), 0);
  EXPECT_EQ(file_.Size(), 20);
  EXPECT_EQ(file_.Tell(), 0);
  char buf[4];
  ASSERT_EQ(file_.Read(buf, 4), 4);
  EXPECT_EQ(buf[3], 3);
}

TEST_F(FileObjTest, AFullDiskIsAFailedWriteNotASuccess) {
  // /dev/full accepts the open and refuses every byte with ENOSPC, as a full disk does.
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full on this machine";
  CFileObj full;
  ASSERT_TRUE(full.Create("/dev/full"));
  platform::set_last_error(0);
  EXPECT_EQ(full.Write("abcd", 4), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrWriteFailed);
  EXPECT_EQ(full.Tell(), 0);
  EXPECT_EQ(full.Size(), 0);
}

TEST_F(FileObjTest, OpenRefusesWhatIsNoReadableFile) {
  EXPECT_EQ(file_.Open(dir_.File("missing").c_str(), 0, 0), 0);
  EXPECT_EQ(platform::last_error(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(file_.IsOpen(), 0);
  EXPECT_STREQ(file_.FilePath(), "");

  const std::string too_long = "/" + std::string(CFileObj::kPathCapacity, 'a');
  EXPECT_EQ(file_.Create(too_long.c_str()), 0);
  EXPECT_EQ(platform::last_error(), static_cast<uint32_t>(ENAMETOOLONG));
  EXPECT_EQ(file_.Open(nullptr, 0, 0), 0);

  const std::string folder = dir_.File("");
  EXPECT_EQ(file_.Open(folder.c_str(), 0, 0), 0);
  EXPECT_EQ(DoesFileExist(folder.c_str()), 0);
  EXPECT_EQ(DoesFileExist(dir_.File("missing").c_str()), 0);
  EXPECT_EQ(DoesFileExist(nullptr), 0);
  MakeFile(1, 0);
  EXPECT_EQ(DoesFileExist(path_.c_str()), 1);
}

TEST_F(FileObjTest, OpenOverAnOpenFileClosesTheFirst) {
  MakeFile(10, 1);
  const std::string other = dir_.File("other.bin");
  ASSERT_TRUE(file_.Create(other.c_str()));
  EXPECT_EQ(file_.Size(), 0);
  EXPECT_STREQ(file_.FilePath(), other.c_str());
}

TEST_F(FileObjTest, SeekChecksTheRangeAndKeepsThePosition) {
  MakeFile(100, 0);
  ASSERT_TRUE(file_.Seek(40, 0));
  platform::set_last_error(1);
  ASSERT_TRUE(file_.Seek(10, 1));
  EXPECT_EQ(platform::last_error(), 0u);  // success clears the code
  EXPECT_EQ(file_.Tell(), 50);

  EXPECT_EQ(file_.Seek(101, 0), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrSeekFailed);
  EXPECT_EQ(file_.Seek(-60, 1), 0);
  EXPECT_EQ(file_.Seek(-1, 0), 0);
  EXPECT_EQ(file_.Tell(), 50);

  ASSERT_TRUE(file_.Seek(-10, 2));
  EXPECT_EQ(file_.Tell(), 90);
  char c = 0;
  ASSERT_EQ(file_.Read(&c, 1), 1);
  EXPECT_EQ(c, 90);
}

TEST_F(FileObjTest, LoopModeRelativeSeeksWrap) {
  MakeFile(100, 0);
  file_.SetDataMode(1);
  ASSERT_TRUE(file_.Seek(10, 0));
  ASSERT_TRUE(file_.Seek(-30, 1));  // 20 before the start: from the end
  EXPECT_EQ(file_.Tell(), 80);
  ASSERT_TRUE(file_.Seek(130, 1));  // beyond the end: reduced by it, from the start
  EXPECT_EQ(file_.Tell(), 30);
}

TEST_F(FileObjTest, WindowSettingsAndSeekToData) {
  MakeFile(100, 0);
  EXPECT_EQ(file_.DataSize(), -1);
  EXPECT_EQ(file_.SeekToData(0), 0);  // no window yet
  EXPECT_EQ(file_.SetDataOffsets(20, 20), 0);
  EXPECT_EQ(file_.SetDataOffsets(30, 20), 0);
  ASSERT_TRUE(file_.SetDataOffsets(20, 60));
  EXPECT_EQ(file_.DataSize(), 40);

  ASSERT_TRUE(file_.SeekToData(file_.DataSize()));
  EXPECT_EQ(file_.Tell(), 20);
  EXPECT_EQ(file_.SetVirtualStart(41), 0);
  EXPECT_EQ(file_.SetVirtualStart(-1), 0);
  ASSERT_TRUE(file_.SetVirtualStart(10));
  ASSERT_TRUE(file_.SeekToData(file_.DataSize()));
  EXPECT_EQ(file_.Tell(), 30);
  ASSERT_TRUE(file_.SeekToData(35));  // 35 + 10 wraps to 5
  EXPECT_EQ(file_.Tell(), 25);
  ASSERT_TRUE(file_.SeekToData(-15));  // before the window wraps into it, not before it
  EXPECT_EQ(file_.Tell(), 55);

  ASSERT_TRUE(file_.SetDataOffsets(0, 10));
  EXPECT_EQ(file_.GetVirtualStart(), 0);  // a new window starts plain
  file_.Close();
  EXPECT_EQ(file_.GetDataStart(), 0);
  EXPECT_EQ(file_.GetDataEnd(), 10);
}

TEST_F(FileObjTest, ReadDataStaysInsideTheWindow) {
  MakeFile(100, 0);
  ASSERT_TRUE(file_.SetDataOffsets(20, 60));
  char buf[64];
  ASSERT_TRUE(file_.Seek(56, 0));
  EXPECT_EQ(file_.ReadData(buf, 10), 4);
  EXPECT_EQ(file_.ReadData(buf, 10), 0);
  EXPECT_EQ(file_.ReadData(buf, -5), 0);
}

TEST_F(FileObjTest, LoopModeReadContinuesAtDataStart) {
  MakeFile(100, 0);
  ASSERT_TRUE(file_.SetDataOffsets(20, 60));
  file_.SetDataMode(1);
  ASSERT_TRUE(file_.Seek(56, 0));
  char buf[10];
  ASSERT_EQ(file_.ReadData(buf, 10), 10);
  const char expected[10] = {56, 57, 58, 59, 20, 21, 22, 23, 24, 25};
  EXPECT_EQ(std::string(buf, 10), std::string(expected, 10));

  // More than the window holds goes round several times.
  std::vector<char> big(100);
  ASSERT_TRUE(file_.SeekToData(0));
  ASSERT_EQ(file_.ReadData(big.data(), 100), 100);
  EXPECT_EQ(big[40], 20);
  EXPECT_EQ(big[99], 39);
}

TEST_F(FileObjTest, LoopModeReadWithoutUsableWindowReturns) {
  MakeFile(100, 0);
  file_.SetDataMode(1);
  char buf[10];
  EXPECT_EQ(file_.ReadData(buf, 10), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrSeekFailed);

  // A window past the end of the file delivers what there is and stops.
  ASSERT_TRUE(file_.SetDataOffsets(90, 200));
  ASSERT_TRUE(file_.Seek(95, 0));
  EXPECT_EQ(file_.ReadData(buf, 10), 5);
}

TEST_F(FileObjTest, WriteDataOverwritesInsideOrAppends) {
  MakeFile(30, 1);
  ASSERT_TRUE(file_.SetDataOffsets(10, 20));
  ASSERT_TRUE(file_.Seek(16, 0));
  EXPECT_EQ(file_.WriteData("ABCDEFGH", 8, 0), 4);  // cut at data end
  EXPECT_EQ(file_.GetDataEnd(), 20);
  EXPECT_EQ(file_.WriteData("wxyz", 4, 1), 4);
  EXPECT_EQ(file_.GetDataEnd(), 24);
  EXPECT_EQ(file_.Size(), 30);

  ASSERT_TRUE(file_.Seek(14, 0));
  char buf[12];
  ASSERT_EQ(file_.Read(buf, 12), 12);
  const char expected[12] = {14, 15, 'A', 'B', 'C', 'D', 'w', 'x', 'y', 'z', 24, 25};
  EXPECT_EQ(std::string(buf, 12), std::string(expected, 12));
}

TEST_F(FileObjTest, WriteAfterReadLandsAtThePosition) {
  MakeFile(10, 1);
  char buf[3];
  ASSERT_EQ(file_.Read(buf, 3), 3);
  ASSERT_EQ(file_.Write("Z", 1), 1);
  ASSERT_TRUE(file_.Seek(0, 0));
  char all[10];
  ASSERT_EQ(file_.Read(all, 10), 10);
  EXPECT_EQ(all[2], 2);
  EXPECT_EQ(all[3], 'Z');
  EXPECT_EQ(all[4], 4);
}

TEST_F(FileObjTest, CopyIsReadOnlyPlainAndIndependent) {
  MakeFile(100, 1);
  file_.SetDataMode(1);
  ASSERT_TRUE(file_.SetDataOffsets(10, 90));
  ASSERT_TRUE(file_.SetVirtualStart(5));
  ASSERT_TRUE(file_.Seek(42, 0));

  CRefObj* copy = file_.Copy();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->References(), 1);
  EXPECT_EQ(copy->WriteMode(), 0);
  EXPECT_EQ(copy->DataMode(), 0);
  EXPECT_EQ(copy->Tell(), 42);
  EXPECT_EQ(copy->GetDataStart(), 10);
  EXPECT_EQ(copy->GetDataEnd(), 90);
  EXPECT_EQ(copy->GetVirtualStart(), 5);
  char c = 0;
  ASSERT_EQ(copy->Read(&c, 1), 1);
  EXPECT_EQ(c, 42);  // the stream really stands at the copied position
  EXPECT_EQ(file_.Tell(), 42);
  EXPECT_EQ(copy->WriteData("x", 1, 0), -1);
  DeleteRefObject(&copy);

  CFileObj constructed(file_);
  EXPECT_TRUE(constructed.IsOpen());
  EXPECT_EQ(constructed.Tell(), 42);
}

TEST_F(FileObjTest, CopyNeedsAnOpenFileObject) {
  CMemObj memory;
  ASSERT_TRUE(memory.Create());
  EXPECT_EQ(file_.Copy(&memory), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrCopyReopen);
  EXPECT_EQ(file_.Copy(nullptr), 0);

  CFileObj closed;
  EXPECT_EQ(file_.Copy(&closed), 0);
  EXPECT_EQ(closed.Copy(), nullptr);

  MakeFile(10, 1);
  ASSERT_TRUE(file_.Seek(4, 0));
  ASSERT_TRUE(file_.Copy(&file_));  // reopening itself read only
  EXPECT_EQ(file_.WriteMode(), 0);
  EXPECT_EQ(file_.Tell(), 4);

  // The file vanished: the copy cannot reopen it.
  ASSERT_EQ(unlink(path_.c_str()), 0);
  CFileObj orphan;
  EXPECT_EQ(orphan.Copy(&file_), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrCopyReopen);
}

TEST_F(FileObjTest, PathCopies) {
  MakeFile(1, 0);
  std::vector<char> out(CFileObj::kPathCapacity);
  file_.GetFilePath(out.data());
  EXPECT_STREQ(out.data(), path_.c_str());
  char small[4];
  EXPECT_EQ(file_.GetFilePath(small, sizeof small), 0);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(file_.GetFilePath(out.data(), out.size()), 1);
}

TEST_F(FileObjTest, PositionsBeyondFourGigabytes) {
  constexpr long kSize = 5L << 30;
  {
    CFileObj writer;
    ASSERT_TRUE(writer.Create(path_.c_str()));
  }
  ASSERT_EQ(truncate(path_.c_str(), kSize), 0);  // sparse: costs no disk space
  ASSERT_TRUE(file_.Open(path_.c_str(), 0, 1));
  EXPECT_EQ(file_.Size(), kSize);
  ASSERT_TRUE(file_.Seek(kSize - 4, 0));
  ASSERT_EQ(file_.Write("tail", 4), 4);
  ASSERT_TRUE(file_.SetDataOffsets(kSize - 8, kSize));
  ASSERT_TRUE(file_.SeekToData(4));
  char buf[4];
  ASSERT_EQ(file_.ReadData(buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "tail");
}

}  // namespace
