#include <gtest/gtest.h>
#include <session/session_atoms.h>
#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>

#include <cstring>

namespace {

TEST(BarChunk, RoundTripsThroughARiffForm) {
  CMemObj* mem = new CMemObj();
  ASSERT_EQ(mem->Create(), 1);
  CRIFF writer;
  ASSERT_EQ(writer.Create(mem, tarnell::FourCC("sess")), 1);
  BarRect bar = BarInLane(1500, 2500, 3);
  EXPECT_EQ(bar.top, 216);
  EXPECT_EQ(bar.bottom, 282);
  EXPECT_EQ(bar.right, 4000);
  ASSERT_EQ(WriteBarChunk(&writer, bar), 1);
  writer.Close();
  EXPECT_EQ(mem->Size(), 12 + 8 + 16);

  // The stored bytes are four little-endian 32-bit values.
  unsigned char bytes[36];
  mem->Seek(0, 0);
  ASSERT_EQ(mem->Read(reinterpret_cast<char*>(bytes), 36), 36);
  EXPECT_EQ(0, memcmp(bytes + 12, "zbar", 4));
  EXPECT_EQ(bytes[20], 1500 & 0xFF);
  EXPECT_EQ(bytes[21], 1500 >> 8);
  EXPECT_EQ(bytes[24], 216);

  mem->Seek(0, 0);
  CRIFF reader;
  _chunkInfo form{};
  ASSERT_EQ(reader.Open(mem, &form), 1);
  BarRect back;
  ASSERT_EQ(ReadBarChunk(&reader, &back), 1);
  EXPECT_EQ(back.left, 1500);
  EXPECT_EQ(back.top, 216);
  EXPECT_EQ(back.right, 4000);
  EXPECT_EQ(back.bottom, 282);
  reader.Close();
  CRefObj* holder = mem;
  DeleteRefObject(&holder);
}

// What ReadBarChunk makes of a form holding one chunk `id` of `size` bytes; `bar` must stay
// as it was unless it answers 1.
int ReadBarFromOneChunk(uint32_t id, long size) {
  CMemObj* mem = new CMemObj();
  CRefObj* holder = mem;
  CRIFF writer;
  char data[16] = {1};
  int result = -2;
  if (mem->Create() && writer.Create(mem, tarnell::FourCC("sess")) &&
      writer.WriteSubChunk(id, data, size)) {
    writer.Close();
    mem->Seek(0, 0);
    CRIFF reader;
    _chunkInfo form{};
    BarRect bar = BarInLane(7, 8, 1);
    if (reader.Open(mem, &form)) {
      result = ReadBarChunk(&reader, &bar);
      if (result != 1) {
        EXPECT_EQ(bar.left, 7);
      }
      reader.Close();
    }
  }
  DeleteRefObject(&holder);
  return result;
}

TEST(BarChunk, AnotherChunkIsNotReadAsABarAndAShortBarIsDamage) {
  EXPECT_EQ(ReadBarFromOneChunk(tarnell::FourCC("atom"), 16), 0);
  EXPECT_EQ(ReadBarFromOneChunk(tarnell::FourCC("zbar"), 8), -1);
  EXPECT_EQ(ReadBarFromOneChunk(tarnell::FourCC("zbar"), 16), 1);
}

TEST(SessionRootGroup, KeepsOffsetsExactlyAsGiven) {
  SessionRootGroup* root = new SessionRootGroup();
  EXPECT_EQ(root->Length(0), 1000);  // an empty session still has one second

  BarSound* a = new BarSound();
  BarSound* b = new BarSound();
  for (BarSound* s : {a, b}) {
    s->SetVirtualLength(2000);
    s->GetSrcMap()->SetDefaultMap(2000, kMapAll);
  }
  a->Add(root, 500);
  b->Add(root, 3000);
  long offset = -1;
  EXPECT_EQ(root->GetAtom(0, &offset), a);
  EXPECT_EQ(offset, 500);
  EXPECT_EQ(a->AbsoluteOffset(), 500);
  EXPECT_EQ(b->AbsoluteOffset(), 3000);
  EXPECT_EQ(root->AbsoluteOffset(), 0);
  EXPECT_EQ(root->Length(0), 4500);  // the extent from the first sound, not from 0

  CAudioAtom* holder_a = a;
  CAudioAtom* holder_b = b;
  DeleteAtom(&holder_a);
  DeleteAtom(&holder_b);
  CAudioAtom* holder = root;
  DeleteAtom(&holder);
}

}  // namespace
