#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/containers/map.h>
#include <tarnell/errors.h>
#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void PutTag(Bytes& out, const char* tag) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(tag[i]));
}

void PutDouble(Bytes& out, double v) {
  unsigned char raw[8];
  std::memcpy(raw, &v, 8);
  for (unsigned char byte : raw) out.push_back(byte);
}

Bytes AllBytes(CMemObj& object) {
  Bytes out(static_cast<size_t>(object.Size()));
  object.Seek(0, 0);
  object.Read(reinterpret_cast<char*>(out.data()), static_cast<long>(out.size()));
  return out;
}

// A session form holding the given "smap" chunk data (with `declared` as its size) and then
// a four-byte "sgdt" chunk.
Bytes SessionWith(const Bytes& map, uint32_t declared) {
  Bytes out;
  PutTag(out, "RIFF");
  Put32(out, static_cast<uint32_t>(4 + 8 + map.size() + 12));
  PutTag(out, "sess");
  PutTag(out, "smap");
  Put32(out, declared);
  for (unsigned char byte : map) out.push_back(byte);
  PutTag(out, "sgdt");
  Put32(out, 4);
  Put32(out, 1);
  return out;
}

// Writes `map` as the only chunk of a session form.
Bytes Written(CMap& map) {
  CMemObj object;
  EXPECT_EQ(object.Create(), 1);
  CRIFF riff;
  EXPECT_EQ(riff.Create(&object, tarnell::FourCC("sess")), 1);
  EXPECT_EQ(map.WriteMap(&riff), 1);
  riff.Close();
  return AllBytes(object);
}

class OpenedSession {
 public:
  explicit OpenedSession(Bytes bytes) {
    object_.Open(bytes.data(), static_cast<unsigned long>(bytes.size()));
    opened_ = riff_.Open(&object_, nullptr);
  }
  CRIFF* riff() { return &riff_; }
  bool opened() const { return opened_ == 1; }
  uint32_t CurrentId() {
    _subChunk sub{};
    riff_.GetCurrentChunkInfo(nullptr, &sub);
    return sub.id;
  }

 private:
  CMemObj object_;
  CRIFF riff_;
  int opened_ = 0;
};

CMap SampleMap() {
  CMap map;
  map.SetDefaultMap(1000, kMapAll);
  map.AddSimpleEvent(kMapVolume, 250, 0.5);
  map.AddSimpleEvent(kMapPan, -40, -0.25);
  char* other = static_cast<char*>(std::malloc(5));
  std::memcpy(other, "xyz12", 5);
  map.AddEvent(7, 600, other, 5);  // a kind the engine does not know is carried through
  return map;
}

TEST(MapChunk, RoundTripIsByteForByte) {
  CMap map = SampleMap();
  ASSERT_EQ(map.NumEvents(-1), 9);
  EXPECT_EQ(map.MapSaveSize(), 8u * 20 + 17);
  Bytes file = Written(map);
  ASSERT_EQ(file.size(), 12 + 8 + 4 + map.MapSaveSize());

  // The expected chunk, field by field, in list order.
  Bytes expected;
  PutTag(expected, "RIFF");
  Put32(expected, static_cast<uint32_t>(file.size() - 8));
  PutTag(expected, "sess");
  PutTag(expected, "smap");
  Put32(expected, static_cast<uint32_t>(4 + map.MapSaveSize()));
  Put32(expected, 9);
  for (int i = 0; i < map.NumEvents(-1); ++i) {
    long time = 0;
    const _tvol_pan_data* event = map.GetEventData(i, &time);
    Put32(expected, static_cast<uint32_t>(event->type));
    Put32(expected, static_cast<uint32_t>(time));
    Put32(expected, static_cast<uint32_t>(event->size));
    const auto* payload = static_cast<const unsigned char*>(event->data);
    for (unsigned long b = 0; b < event->size; ++b) expected.push_back(payload[b]);
  }
  EXPECT_EQ(file, expected);

  OpenedSession session(file);
  ASSERT_TRUE(session.opened());
  CMap read;
  EXPECT_EQ(read.ReadMap(session.riff()), 1);
  EXPECT_EQ(Written(read), file);
  EXPECT_DOUBLE_EQ(read.GetSimpleValueAtTime(250, kMapVolume), 0.5);
  EXPECT_DOUBLE_EQ(read.GetSimpleValueAtTime(-40, kMapPan), -0.25);

  // Ties at the first time come back in stored order too, generation after generation.
  CMap plain;
  plain.SetDefaultMap(500, kMapAll);
  Bytes plain_file = Written(plain);
  for (int generation = 0; generation < 2; ++generation) {
    OpenedSession plain_session(plain_file);
    CMap plain_read;
    EXPECT_EQ(plain_read.ReadMap(plain_session.riff()), 1);
    EXPECT_EQ(Written(plain_read), plain_file);
  }

  CMap empty;
  Bytes none = Written(empty);
  ASSERT_EQ(none.size(), 12u + 8 + 4);
  OpenedSession empty_session(none);
  CMap still_empty;
  EXPECT_EQ(still_empty.ReadMap(empty_session.riff()), 1);
  EXPECT_EQ(still_empty.NumEvents(-1), 0);
}

TEST(MapChunk, ReadingMovesToTheNextChunkAndSkipsDuplicates) {
  Bytes map;
  Put32(map, 3);
  for (int i = 0; i < 3; ++i) {
    Put32(map, kMapVolume);
    Put32(map, i == 2 ? 0 : 100 * i);  // the third repeats the first time
    Put32(map, 8);
    PutDouble(map, 0.1 * (i + 1));
  }
  OpenedSession session(SessionWith(map, static_cast<uint32_t>(map.size())));
  CMap read;
  EXPECT_EQ(read.ReadMap(session.riff()), 1);
  EXPECT_EQ(read.NumEvents(kMapVolume), 2);
  EXPECT_DOUBLE_EQ(read.GetSimpleValueAtTime(0, kMapVolume), 0.1);
  EXPECT_EQ(session.CurrentId(), tarnell::FourCC("sgdt"));

  // Not a map chunk: refused, and the cursor stays for whoever reads "sgdt".
  EXPECT_EQ(read.ReadMap(session.riff()), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrNoSuchChunk);
  EXPECT_EQ(session.CurrentId(), tarnell::FourCC("sgdt"));
  EXPECT_EQ(read.ReadMap(nullptr), 0);
}

TEST(MapChunk, DamagedChunksAreRefusedWhole) {
  CMap good = SampleMap();
  Bytes file = Written(good);
  Bytes chunk(file.begin() + 20, file.end());  // count and events

  auto expect_refused = [](const Bytes& session, const std::string& what) {
    OpenedSession opened(session);
    ASSERT_TRUE(opened.opened()) << what;
    CMap map;
    map.SetDefaultMap(300, kMapVolume);
    unsigned long before = map.MapSaveSize();
    EXPECT_EQ(map.ReadMap(opened.riff()), 0) << what;
    EXPECT_EQ(platform::last_error(), tarnell::kErrRiffRead) << what;
    EXPECT_EQ(map.MapSaveSize(), before) << what;  // nothing half-added
    EXPECT_EQ(map.NumEvents(-1), 2) << what;
  };

  // The file ends inside the chunk: the declared size cannot be read.
  Bytes cut(file.begin(), file.end() - 10);
  expect_refused(cut, "file cut short");
  // The declared size says less than the events need.
  expect_refused(SessionWith(chunk, static_cast<uint32_t>(chunk.size() - 3)), "size too small");
  // A count beyond the events present.
  Bytes more = chunk;
  more[0] = 10;
  expect_refused(SessionWith(more, static_cast<uint32_t>(more.size())), "count too large");
  Bytes negative = chunk;
  negative[3] = 0x80;
  expect_refused(SessionWith(negative, static_cast<uint32_t>(negative.size())), "negative count");
  // An event whose payload would run past the chunk.
  Bytes payload = chunk;
  payload[4 + 8] = 0xff;
  payload[4 + 9] = 0xff;
  expect_refused(SessionWith(payload, static_cast<uint32_t>(payload.size())), "payload too long");
  // A size far beyond the object must not drive an allocation.
  expect_refused(SessionWith(chunk, 0xfffffff0u), "huge size");
  expect_refused(SessionWith(Bytes{1, 0}, 2), "no room for the count");
}

}  // namespace
