#include <gtest/gtest.h>
#include <platform/byte_order.h>
#include <session/session_atoms.h>
#include <session/session_file.h>
#include <sonark/model/atom_ref.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <tarnell/ref_ptr.h>
#include <tarnell/riff.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

// Opens a session file into a new root; null when the load is refused.
AtomRef<SessionRootGroup> Open(const std::string& path) {
  RefPtr<CFileObj> file(new CFileObj());
  if (!file->Open(path.c_str(), 0, 0)) return AtomRef<SessionRootGroup>();
  CRIFF riff;
  _chunkInfo form{};
  AtomRef<SessionRootGroup> root(new SessionRootGroup());
  const bool ok = riff.Open(file.get(), &form) && root->Load(&riff, 1, 1, 1, 10, nullptr, nullptr);
  riff.Close();
  return ok ? std::move(root) : AtomRef<SessionRootGroup>();
}

class MarkerFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tessel-markers-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string dir_;
};

TEST(MarkerList, KeepsOneMarkerPerTimeInOrderAndCountsCdTracks) {
  MarkerList list;
  list.ResetToStart();
  MarkerRecord start;
  ASSERT_TRUE(list.Get(0, &start));
  EXPECT_STREQ(start.title, "Start");
  EXPECT_EQ(start.cdTrack, 1);
  EXPECT_EQ(start.movable, 0);
  EXPECT_EQ(start.colour, 0xFF0000);

  EXPECT_EQ(list.Add(5000, "verse", 1, 0x00FF00), 1);
  EXPECT_EQ(list.Add(2000, "intro", 0, 0x0000FF), 1);
  EXPECT_EQ(list.Add(2000, "again", 1, 0), -1);  // occupied
  EXPECT_EQ(list.Add(-30, "before", 1, 0), -1);  // becomes 0, where the start marker is
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.CdTrackCount(), 2);
  // The start marker is itself a separator, so the first one after it is track 2.
  EXPECT_EQ(list.CdTrackOrdinal(2), 2);
  EXPECT_EQ(list.MarkerBefore(4999), 1);
  EXPECT_EQ(list.MarkerBefore(5000), 2);

  EXPECT_EQ(list.Move(0, 100), -1);   // fixed
  EXPECT_EQ(list.Move(1, 5000), -1);  // occupied
  EXPECT_EQ(list.Move(1, 9000), 2);
  EXPECT_EQ(list.LastChanged(), 2);
  EXPECT_EQ(list.Change(2, 1000, "intro, earlier", 1, 7), 1);
  EXPECT_EQ(list.CdTrackCount(), 3);
  MarkerRecord changed;
  ASSERT_TRUE(list.Get(1, &changed));
  EXPECT_EQ(changed.time, 1000);
  EXPECT_STREQ(changed.title, "intro, earlier");
  // A fixed marker's title changes but it stays at its time.
  EXPECT_EQ(list.Change(0, 700, "Top", 1, 1), 0);

  list.Remove(-1);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.CdTrackCount(), 0);
}

TEST(MarkerList, ChunkHoldsACountAndRecordsOf144Bytes) {
  MarkerList list;
  list.ResetToStart();
  ASSERT_EQ(list.Add(0x01020304, "chorus", 0, 0x00A0B0C0), 1);

  CMemObj* mem = new CMemObj();
  CRefObj* holder = mem;
  ASSERT_EQ(mem->Create(), 1);
  CRIFF writer;
  ASSERT_EQ(writer.Create(mem, tarnell::FourCC("sess")), 1);
  ASSERT_EQ(list.WriteChunk(&writer), 1);
  writer.Close();
  ASSERT_EQ(mem->Size(), 12 + 8 + 4 + 2 * 144);
  std::vector<unsigned char> bytes(static_cast<size_t>(mem->Size()));
  mem->Seek(0, 0);
  mem->Read(reinterpret_cast<char*>(bytes.data()), mem->Size());
  DeleteRefObject(&holder);

  const unsigned char* chunk = bytes.data() + 12;
  EXPECT_EQ(0, memcmp(chunk, "tmrk", 4));
  EXPECT_EQ(platform::GetLe32(chunk + 4), 4u + 2 * 144);
  EXPECT_EQ(platform::GetLe32(chunk + 8), 2u);
  const unsigned char* second = chunk + 12 + 144;
  const unsigned char time[] = {0x04, 0x03, 0x02, 0x01};
  EXPECT_EQ(0, memcmp(second, time, 4));
  EXPECT_STREQ(reinterpret_cast<const char*>(second + 4), "chorus");
  EXPECT_EQ(platform::GetLe32(second + 132), 0u);
  EXPECT_EQ(platform::GetLe32(second + 136), 1u);
  EXPECT_EQ(platform::GetLe32(second + 140), 0x00A0B0C0u);
  EXPECT_EQ(platform::GetLe32(chunk + 12 + 132), 1u);  // the start marker: a separator
  EXPECT_EQ(platform::GetLe32(chunk + 12 + 136), 0u);  // and fixed
}

TEST(MarkerList, ReadsOnlyTheWholeRecordsInsideTheChunkWhateverTheCountSays) {
  MarkerList source;
  source.ResetToStart();
  source.Add(3000, "b", 1, 0);
  source.Add(1000, "a", 0, 0);
  std::vector<unsigned char> data = source.ChunkData();
  platform::PutLe32(data.data(), 1000000);  // a damaged count
  // A copy of the last record at a time already taken, and a torn record at the end.
  data.insert(data.end(), data.end() - 144, data.end());
  data.insert(data.end(), 100, 0x41);

  MarkerList read;
  read.ReadChunkData(data.data(), data.size());
  ASSERT_EQ(read.Count(), 3);
  EXPECT_EQ(read.CdTrackCount(), 2);
  MarkerRecord last;
  ASSERT_TRUE(read.Get(2, &last));
  EXPECT_EQ(last.time, 3000);
  EXPECT_STREQ(last.title, "b");
  read.ReadChunkData(data.data(), 3);
  EXPECT_EQ(read.Count(), 0);
}

TEST_F(MarkerFiles, ASavedSessionKeepsItsMarkersAndAFileWithoutThemGetsTheStartMarker) {
  const std::string path = dir_ + "/song.sgp";
  AtomRef<SessionRootGroup> root(new SessionRootGroup());
  root->ResetMarkers();
  root->Markers().Add(1500, "bridge", 1, 0x00FFFF);
  std::string error;
  ASSERT_TRUE(SaveSessionFile(root.get(), path, &error)) << error;

  // The chunk opens the root's list, ahead of the atom record.
  std::vector<unsigned char> bytes = ReadAll(path);
  ASSERT_GT(bytes.size(), 32u);
  EXPECT_EQ(0, memcmp(bytes.data() + 12, "LIST", 4));
  EXPECT_EQ(0, memcmp(bytes.data() + 20, "sgrp", 4));
  EXPECT_EQ(0, memcmp(bytes.data() + 24, "tmrk", 4));
  EXPECT_EQ(0, memcmp(bytes.data() + 24 + 8 + 4 + 2 * 144, "atom", 4));

  AtomRef<SessionRootGroup> back = Open(path);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->Markers().Count(), 2);
  MarkerRecord bridge;
  ASSERT_TRUE(back->Markers().Get(1, &bridge));
  EXPECT_EQ(bridge.time, 1500);
  EXPECT_STREQ(bridge.title, "bridge");
  // Saving what was opened keeps the markers too.
  ASSERT_TRUE(SaveSessionFile(back.get(), path, &error)) << error;
  const size_t chunk_end = 24 + 8 + 4 + 2 * 144;
  std::vector<unsigned char> again = ReadAll(path);
  ASSERT_GT(again.size(), chunk_end);
  EXPECT_EQ(0, memcmp(again.data() + 24, bytes.data() + 24, chunk_end - 24));

  // A session written without the chunk (by a plain group) opens with the start marker only.
  AtomRef<CSoundGroup> plain(new CSoundGroup());
  {
    RefPtr<CFileObj> file(new CFileObj());
    ASSERT_TRUE(file->Create(path.c_str()));
    CRIFF riff;
    ASSERT_TRUE(riff.Create(file.get(), tarnell::FourCC("sess")));
    ASSERT_TRUE(plain->Save(&riff, 1));
    riff.Close();
  }
  back = Open(path);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->Markers().Count(), 1);
  MarkerRecord start;
  ASSERT_TRUE(back->Markers().Get(0, &start));
  EXPECT_EQ(start.movable, 0);

  // A marker chunk that claims more than the file holds refuses the session.
  platform::PutLe32(bytes.data() + 28, 0x7FFFFFF0);
  WriteAll(path, bytes);
  EXPECT_FALSE(Open(path));
}

}  // namespace
