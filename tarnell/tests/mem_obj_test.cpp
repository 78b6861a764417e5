#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <tarnell/errors.h>
#include <tarnell/mem_obj.h>

#include <string>
#include <vector>

namespace {

std::vector<char> Staircase(size_t n, int first = 0) {
  std::vector<char> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(first + static_cast<int>(i));
  return bytes;
}

std::vector<unsigned char> Bytes(size_t n) {
  std::vector<unsigned char> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(i);
  return bytes;
}

TEST(MemObj, SequentialWritesAddOneBlockEach) {
  CMemObj mem;
  ASSERT_TRUE(mem.Create());
  EXPECT_EQ(mem.Type(), 2);
  EXPECT_EQ(mem.WriteMode(), 1);
  EXPECT_EQ(mem.BlockCount(), 0u);

  const auto all = Staircase(112);
  EXPECT_EQ(mem.Write(all.data(), 100), 100);
  EXPECT_EQ(mem.Write(all.data() + 100, 5), 5);
  EXPECT_EQ(mem.Write(all.data() + 105, 7), 7);
  ASSERT_EQ(mem.BlockCount(), 3u);
  EXPECT_EQ(mem.BlockSize(0), 100u);
  EXPECT_EQ(mem.BlockSize(1), 5u);
  EXPECT_EQ(mem.BlockSize(2), 7u);
  EXPECT_EQ(mem.Size(), 112);

  ASSERT_TRUE(mem.Seek(0, 0));
  std::vector<char> back(200);
  ASSERT_EQ(mem.Read(back.data(), 200), 112);
  back.resize(112);
  EXPECT_EQ(back, all);
  EXPECT_EQ(mem.Read(back.data(), 1), 0);
}

TEST(MemObj, OverwritesCrossBlocksAndGrowByTheRemainder) {
  CMemObj mem;
  ASSERT_TRUE(mem.Create());
  const auto all = Staircase(112);
  mem.Write(all.data(), 100);
  mem.Write(all.data() + 100, 5);
  mem.Write(all.data() + 105, 7);

  ASSERT_TRUE(mem.Seek(98, 0));
  EXPECT_EQ(mem.Write("ABCDEFGHIJ", 10), 10);  // spans all three blocks
  EXPECT_EQ(mem.BlockCount(), 3u);
  ASSERT_TRUE(mem.Seek(110, 0));
  EXPECT_EQ(mem.Write("vwxyz", 5), 5);  // two bytes fit, three need a new block
  ASSERT_EQ(mem.BlockCount(), 4u);
  EXPECT_EQ(mem.BlockSize(3), 3u);
  EXPECT_EQ(mem.Size(), 115);

  ASSERT_TRUE(mem.Seek(96, 0));
  char buf[19];
  ASSERT_EQ(mem.Read(buf, 19), 19);
  EXPECT_EQ(std::string(buf, 19), std::string("\x60\x61"
                                              "ABCDEFGHIJ"
                                              "\x6c\x6d"
                                              "vwxyz"));
}

TEST(MemObj, SeekOutsideTheDataKeepsThePosition) {
  CMemObj mem;
  auto bytes = Bytes(50);
  ASSERT_TRUE(mem.Open(bytes.data(), bytes.size()));
  ASSERT_TRUE(mem.Seek(20, 0));
  EXPECT_EQ(mem.Seek(51, 0), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrSeekFailed);
  EXPECT_EQ(mem.Seek(-21, 1), 0);
  EXPECT_EQ(mem.Seek(1, 2), 0);
  EXPECT_EQ(mem.Tell(), 20);
  ASSERT_TRUE(mem.Seek(0, 2));
  EXPECT_EQ(mem.Tell(), 50);
  ASSERT_TRUE(mem.Seek(-50, 1));
  EXPECT_EQ(mem.Tell(), 0);
}

TEST(MemObj, OpenCopiesTheCallersBytes) {
  CMemObj mem;
  auto bytes = Bytes(30);
  ASSERT_TRUE(mem.Open(bytes.data(), bytes.size()));
  bytes[0] = 99;
  EXPECT_EQ(mem.Type(), 2);
  EXPECT_EQ(mem.WriteMode(), 0);
  EXPECT_EQ(mem.BlockCount(), 1u);
  EXPECT_EQ(mem.GetDataStart(), 0);
  EXPECT_EQ(mem.GetDataEnd(), -1);
  char c = 1;
  ASSERT_EQ(mem.Read(&c, 1), 1);
  EXPECT_EQ(c, 0);
  EXPECT_EQ(mem.WriteData("x", 1, 1), -1);  // opened memory is read only

  // Opening again replaces what was held.
  auto other = Bytes(5);
  ASSERT_TRUE(mem.Open(other.data(), other.size()));
  EXPECT_EQ(mem.BlockCount(), 1u);
  EXPECT_EQ(mem.Size(), 5);
  EXPECT_EQ(mem.Open(nullptr, 5), 0);
}

TEST(MemObj, WindowOffsetsAreAcceptedOneByOne) {
  CMemObj mem;
  auto bytes = Bytes(50);
  ASSERT_TRUE(mem.Open(bytes.data(), bytes.size()));
  EXPECT_EQ(mem.SetDataOffsets(10, 10), 0);
  EXPECT_EQ(mem.SetDataOffsets(10, 60), 0);  // end past the data: only the start is kept
  EXPECT_EQ(mem.GetDataStart(), 10);
  EXPECT_EQ(mem.GetDataEnd(), -1);
  ASSERT_TRUE(mem.SetDataOffsets(10, 50));
  EXPECT_EQ(mem.DataSize(), 40);
  ASSERT_TRUE(mem.SetVirtualStart(40));
  ASSERT_TRUE(mem.SeekToData(mem.DataSize()));
  EXPECT_EQ(mem.Tell(), 10);
}

TEST(MemObj, WindowReadsLoopAndAppendsGrow) {
  CMemObj mem;
  ASSERT_TRUE(mem.Create());
  const auto all = Staircase(40);
  mem.Write(all.data(), 40);
  ASSERT_TRUE(mem.SetDataOffsets(8, 32));

  char buf[10];
  ASSERT_TRUE(mem.Seek(28, 0));
  EXPECT_EQ(mem.ReadData(buf, 10), 4);
  mem.SetDataMode(1);
  ASSERT_TRUE(mem.Seek(28, 0));
  ASSERT_EQ(mem.ReadData(buf, 10), 10);
  const char expected[10] = {28, 29, 30, 31, 8, 9, 10, 11, 12, 13};
  EXPECT_EQ(std::string(buf, 10), std::string(expected, 10));

  EXPECT_EQ(mem.WriteData("abc", 3, 1), 3);  // overwrites 32..34, the window grows
  EXPECT_EQ(mem.GetDataEnd(), 35);
  EXPECT_EQ(mem.Size(), 40);
  ASSERT_TRUE(mem.Seek(0, 2));
  ASSERT_TRUE(mem.SetDataOffsets(8, 40));
  EXPECT_EQ(mem.WriteData("tail", 4, 1), 4);  // beyond the end: the object grows
  EXPECT_EQ(mem.Size(), 44);
  EXPECT_EQ(mem.GetDataEnd(), 44);
}

TEST(MemObj, LoopReadOverAnUnsetWindowReturns) {
  CMemObj mem;
  auto bytes = Bytes(20);
  ASSERT_TRUE(mem.Open(bytes.data(), bytes.size()));  // data end still unset
  mem.SetDataMode(1);
  char buf[8];
  EXPECT_EQ(mem.ReadData(buf, 8), 0);
  EXPECT_EQ(mem.SeekToData(3), 0);
}

TEST(MemObj, CopyHoldsEverythingInOneBlock) {
  CMemObj mem;
  ASSERT_TRUE(mem.Create());
  const auto all = Staircase(60);
  mem.Write(all.data(), 25);
  mem.Write(all.data() + 25, 35);
  ASSERT_TRUE(mem.SetDataOffsets(4, 50));
  ASSERT_TRUE(mem.SetVirtualStart(3));

  CRefObj* copy = mem.Copy();
  ASSERT_NE(copy, nullptr);
  auto* copied = dynamic_cast<CMemObj*>(copy);
  ASSERT_NE(copied, nullptr);
  EXPECT_EQ(copied->BlockCount(), 1u);
  EXPECT_EQ(copied->Type(), 2);
  EXPECT_EQ(copied->Size(), 60);
  EXPECT_EQ(copied->Tell(), 0);
  EXPECT_EQ(copied->GetDataStart(), 4);
  EXPECT_EQ(copied->GetDataEnd(), 50);
  EXPECT_EQ(copied->GetVirtualStart(), 3);
  EXPECT_EQ(copied->References(), 1);

  ASSERT_TRUE(mem.Seek(0, 0));
  mem.Write("Q", 1);
  std::vector<char> back(60);
  ASSERT_EQ(copy->Read(back.data(), 60), 60);
  EXPECT_EQ(back, all);
  DeleteRefObject(&copy);

  CMemObj closed;
  CMemObj closed_copy(closed);
  EXPECT_EQ(closed_copy.IsOpen(), 0);
}

TEST(MemObj, CloseReleasesEverything) {
  CMemObj mem;
  ASSERT_TRUE(mem.Create());
  mem.Write("abcdef", 6);
  ASSERT_TRUE(mem.SetDataOffsets(0, 6));
  mem.Close();
  EXPECT_EQ(mem.IsOpen(), 0);
  EXPECT_EQ(mem.Type(), 0);
  EXPECT_EQ(mem.BlockCount(), 0u);
  EXPECT_EQ(mem.Size(), 0);
  EXPECT_EQ(mem.GetDataEnd(), -1);
  char c;
  EXPECT_EQ(mem.Read(&c, 1), 0);
}

}  // namespace
