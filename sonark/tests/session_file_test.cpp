#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/engine/engine.h>
#include <sonark/errors.h>
#include <sonark/load/peaks.h>
#include <sonark/model/loaded_sounds.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/session_report.h>
#include <sonark/model/sound_group.h>
#include <sonark/tests/session_test_support.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>
#include <tarnell/tests/temp_dir.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace session_test;
using tarnell::FourCC;

constexpr uint32_t kAtomMark = 0x12345679;

// Every kind of atom in one line, with what the session file keeps of it.
std::string Describe(CAudioAtom* atom) {
  std::string out = std::to_string(atom->Type()) + ":" + atom->GetInfo()->name + "@" +
                    std::to_string(atom->OffsetInParent()) + "/" +
                    std::to_string(atom->AbsoluteOffset()) + " len " +
                    std::to_string(atom->Length(0)) + " flags " +
                    std::to_string(atom->GetChunkFlags()) + " start " +
                    std::to_string(atom->GetVirtualDataStart()) + " map";
  const CMap* map = atom->GetSrcMap();
  for (int i = 0; i < map->NumEvents(-1); ++i) {
    long time = 0;
    _tvol_pan_data* event = map->GetEventData(i, &time);
    double value = 0.0;
    if (event->size == sizeof value) std::memcpy(&value, event->data, sizeof value);
    out += ' ';
    out += std::to_string(event->type) + "," + std::to_string(time) + "=" + std::to_string(value);
  }
  if (auto* group = dynamic_cast<CSoundGroup*>(atom)) {
    out += " [" + std::string(group->GetComments()) + "|" + group->GetCreationTime() + "]{";
    long offset = 0;
    for (int i = 0; CAudioAtom* sub = group->GetAtom(i, &offset); ++i) {
      out += (i ? "; " : "") + Describe(sub);
    }
    out += "}";
  }
  return out;
}

class SessionFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_EQ(SonarkStartEngine(), 1);
    ASSERT_TRUE(WriteWave(Path("a.wav"), 800));  // 100 ms, 3200 bytes
    ASSERT_TRUE(WriteWave(Path("b.wav"), 400));  // 50 ms, 1600 bytes
  }
  void TearDown() override {
    DeleteAtom(&loaded_);
    DeleteAtom(&root_);
  }

  std::string Path(const std::string& name) const { return dir_.File(name); }

  CPCMSound* Sound(const std::string& name, const char* label, long length = 0) {
    CPCMSound* sound = SoundOf(Path(name));
    EXPECT_NE(sound, nullptr);
    sound->SetAtomName(label);
    if (length > 0) sound->SetVirtualLength(length);
    sound->GetSrcMap()->SetDefaultMap(sound->Length(0), kMapAll);
    return sound;
  }

  CSoundGroup* Group(const char* label, const char* comments, const char* created) {
    auto* group = new CSoundGroup();
    group->SetAtomName(label);
    group->SetComments(comments);
    std::strcpy(group->GetCreationTime(), created);
    return group;
  }

  // Groups get the neutral envelopes a program gives them once their length is known.
  static void Finish(CAudioAtom* group) {
    group->GetSrcMap()->SetDefaultMap(group->Length(0), kMapAll);
  }

  // The root of the tests: a group with one sound, `a` at 0 (muted, starting 400 bytes in).
  void OneSound() {
    root_ = Group("root", "first take", "01/02/03  04:05:06");
    CPCMSound* a = Sound("a.wav", "a");
    a->SetVirtualDataStart(400);
    a->Mute(1);
    Place(a, root_, 0);
    Finish(root_);
  }

  LoadLog log_;
  CAudioAtom* root_ = nullptr;
  CAudioAtom* loaded_ = new LoggingGroup(&log_);
  TempDir dir_;
};

TEST_F(SessionFileTest, GroupWithOneSoundByReferenceIsStoredByteForByte) {
  OneSound();
  Bytes bytes;
  ASSERT_EQ(SaveSession(root_, Path("s.sgp"), &bytes), 1);
  ASSERT_EQ(bytes, ReadFile(Path("s.sgp")));

  const unsigned long groupMap = root_->GetSrcMap()->MapSaveSize() + 4;
  ASSERT_EQ(groupMap, 4u + 6 * 20);  // a group's map spans its sub-atoms, as a sound's does
  EXPECT_EQ(Outline(bytes),
            "RIFF:sess{LIST:sgrp{atom(584) smap(124) sgdt(4) sgif(2152) "
            "LIST:sndc{atom(584) smap(124) sref(260)}}}");
  EXPECT_EQ(bytes.size(), 12u + 12 + 592 + 132 + 12 + 2160 + 12 + 592 + 132 + 268);
  EXPECT_EQ(Get32(bytes, 4), bytes.size() - 8);

  // The group's atom record.
  const size_t group = 32;
  EXPECT_EQ(Get32(bytes, group + 0), 100u);  // length
  EXPECT_EQ(Get32(bytes, group + 4), 0u);    // absolute offset
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data() + group + 8), "root");
  EXPECT_EQ(Get32(bytes, group + 520), kAtomMark);
  EXPECT_EQ(Get32(bytes, group + 524), 0u);
  EXPECT_EQ(Get32(bytes, group + 528), 0u);
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + group + 532, bytes.begin() + group + 584),
            std::vector<unsigned char>(52, 0));

  // The map: the count and then type, time, size and a double per event.
  const size_t map = group + 584 + 8;
  EXPECT_EQ(Get32(bytes, map), 6u);
  EXPECT_EQ(Get32(bytes, map + 4 + 8), 8u);

  const size_t count = map + 124 + 8;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + count - 8), 4), "sgdt");
  EXPECT_EQ(Get32(bytes, count), 1u);

  const size_t info = count + 4 + 8;
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data() + info), "first take");
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data() + info + 1024), "01/02/03  04:05:06");
  EXPECT_EQ(Get32(bytes, info + 1088), 0x1234567Au);
  double dataSize = 0.0;
  std::memcpy(&dataSize, bytes.data() + info + 1096, sizeof dataSize);
  EXPECT_EQ(dataSize, 3200.0);

  // The sound: muted, its data start, and its file beside the session.
  const size_t sound = info + 2152 + 12 + 8;
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data() + sound + 8), "a");
  EXPECT_EQ(Get32(bytes, sound + 524), 400u);
  EXPECT_EQ(Get32(bytes, sound + 528), 1u);
  // In the bytes earlier versions leave zero: the sizes of the file and of its sound data.
  EXPECT_EQ(Get32(bytes, sound + 532), 0x1234567Bu);
  EXPECT_EQ(Get32(bytes, sound + 536), 3244u);
  EXPECT_EQ(Get32(bytes, sound + 540), 0u);
  EXPECT_EQ(Get32(bytes, sound + 544), 3200u);
  EXPECT_EQ(Get32(bytes, sound + 548), 0u);
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + sound + 552, bytes.begin() + sound + 584),
            std::vector<unsigned char>(32, 0));
  const size_t ref = sound + 584 + 132 + 8;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + ref - 8), 4), "sref");
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data() + ref), "\\a.wav");
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + ref + 7, bytes.begin() + ref + 260),
            std::vector<unsigned char>(253, 0));

  // The estimate counts records and map events, not chunk headers.
  EXPECT_EQ(root_->SaveSize(1), (584 + 120) + 4 + (584 + 120 + 260u));
  EXPECT_EQ(static_cast<CSoundGroup*>(root_)->LastSavedNumAtoms(), 1);
  EXPECT_EQ(static_cast<CSoundGroup*>(root_)->LastSavedDataSize(), 3200.0);
}

TEST_F(SessionFileTest, NestedGroupsComeBackWithEverythingTheFileKeeps) {
  root_ = Group("root", "session notes", "12/31/99  23:59:58");
  CPCMSound* a = Sound("a.wav", "a");
  a->Mute(1);
  Place(a, root_, 0);
  CSoundGroup* g1 = Group("g1", "inner", "02/03/04  05:06:07");
  CPCMSound* b = Sound("b.wav", "b");
  b->SetLock(1);
  b->SetVirtualDataStart(800);
  Place(b, g1, 0);
  CSoundGroup* g2 = Group("g2", "", "03/04/05  06:07:08");
  CPCMSound* c = Sound("a.wav", "c", 300);  // longer than its data: it repeats
  c->GetSrcMap()->AddSimpleEvent(kMapVolume, 150, 0.25);
  c->GetSrcMap()->AddSimpleEvent(kMapRate, 100, 1.5);
  Place(c, g2, 0);
  g2->Mute(1);
  Place(g2, g1, 40);
  g1->SetLock(1);
  Place(g1, root_, 250);
  for (CAudioAtom* group : {static_cast<CAudioAtom*>(g2), static_cast<CAudioAtom*>(g1), root_}) {
    Finish(group);
  }

  ASSERT_EQ(SaveSession(root_, Path("s.sgp")), 1);
  ASSERT_EQ(LoadSessionFile(loaded_, Path("s.sgp")), 1) << std::hex << platform::last_error();
  EXPECT_EQ(Describe(loaded_), Describe(root_));
  EXPECT_EQ(log_.errors.size(), 0u);
  EXPECT_EQ(static_cast<CSoundGroup*>(loaded_)->LastSavedNumAtoms(), 2);
  EXPECT_EQ(static_cast<CSoundGroup*>(loaded_)->LastSavedDataSize(), 3200.0 * 2 + 1600);
  // The source length that the loaded sound covers follows its stored rate envelope:
  // 100 ms rising from 1.0 to 1.5, then 200 ms falling back to 1.0.
  long offset = 0;
  auto* g1Loaded =
      static_cast<CSoundGroup*>(static_cast<CSoundGroup*>(loaded_)->GetAtom(1, &offset));
  auto* g2Loaded = static_cast<CSoundGroup*>(g1Loaded->GetAtom(1, &offset));
  CAudioAtom* cLoaded = g2Loaded->GetAtom(0, &offset);
  EXPECT_DOUBLE_EQ(cLoaded->GetLastRateLength(), 125.0 + 250.0);
}

TEST_F(SessionFileTest, EarlierVersionMarksRestoreWhatThoseVersionsStored) {
  OneSound();
  long offset = 0;
  static_cast<CSoundGroup*>(root_)->GetAtom(0, &offset)->SetLock(1);
  Bytes bytes;
  ASSERT_EQ(SaveSession(root_, Path("s.sgp"), &bytes), 1);
  const size_t record = FindChunk(bytes, "atom", 1) + 8;
  ASSERT_EQ(Get32(bytes, record + 528), 3u);

  struct Case {
    uint32_t mark;
    long start;
    unsigned long flags;
  };
  for (const Case& test : {Case{0x12345679, 400, 3}, Case{0x12345678, 400, 0}, Case{0, 0, 0}}) {
    SCOPED_TRACE(test.mark);
    Put32(bytes, record + 520, test.mark);
    ASSERT_TRUE(WriteFile(Path("old.sgp"), bytes));
    CAudioAtom* group = new LoggingGroup(&log_);
    ASSERT_EQ(LoadSessionFile(group, Path("old.sgp")), 1);
    CAudioAtom* sound = static_cast<CSoundGroup*>(group)->GetAtom(0, &offset);
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(sound->GetVirtualDataStart(), test.start);
    EXPECT_EQ(sound->GetChunkFlags(), test.flags);
    EXPECT_EQ(sound->Muted(), test.flags & 1 ? 1 : 0);
    DeleteAtom(&group);
  }
}

TEST_F(SessionFileTest, SavedSizeIsReadWithoutLoadingAnySound) {
  OneSound();
  Place(Sound("b.wav", "b"), root_, 300);
  Bytes bytes;
  ASSERT_EQ(SaveSession(root_, Path("s.sgp"), &bytes), 1);

  auto* file = new CFileObj();
  CRefObj* held = file;
  ASSERT_EQ(file->Open(Path("s.sgp").c_str(), 0, 0), 1);
  CRIFF riff;
  ASSERT_EQ(riff.Open(file, nullptr), 1);
  auto* group = static_cast<CSoundGroup*>(loaded_);
  EXPECT_EQ(group->GetSavedSize(&riff), 4800.0);
  EXPECT_TRUE(log_.opened.empty());
  // The cursor is where it was: the session still loads from it.
  EXPECT_EQ(group->Load(&riff, 0, 0, 0, 0, nullptr, nullptr), 1);
  EXPECT_EQ(log_.opened.size(), 2u);
  EXPECT_EQ(group->LastSavedDataSize(), 4800.0);
  DeleteRefObject(&held);

  // A file of a version without the information block holds no figure and still loads.
  const size_t info = FindChunk(bytes, "sgif");
  bytes.erase(bytes.begin() + info, bytes.begin() + info + 8 + 2152);
  Put32(bytes, 4, Get32(bytes, 4) - 2160);
  Put32(bytes, 16, Get32(bytes, 16) - 2160);
  ASSERT_TRUE(WriteFile(Path("old.sgp"), bytes));
  CAudioAtom* old = new LoggingGroup(&log_);
  EXPECT_EQ(LoadSessionFile(old, Path("old.sgp")), 1);
  EXPECT_EQ(static_cast<CSoundGroup*>(old)->NumAtoms(kAtomTypeMembers, 0), 2);
  EXPECT_EQ(static_cast<CSoundGroup*>(old)->LastSavedDataSize(), 0.0);
  DeleteAtom(&old);

  CMemObj memory;
  ASSERT_EQ(memory.Open(bytes.data(), static_cast<unsigned long>(bytes.size())), 1);
  CRIFF oldRiff;
  ASSERT_EQ(oldRiff.Open(&memory, nullptr), 1);
  platform::set_last_error(1);
  EXPECT_EQ(group->GetSavedSize(&oldRiff), 0.0);
  EXPECT_EQ(platform::last_error(), 0u);
}

int CountProgress(unsigned long amount, void* context) {
  static_cast<std::vector<unsigned long>*>(context)->push_back(amount);
  return 1;
}

TEST_F(SessionFileTest, OneFileUsedTwiceIsLoadedOnceAndShared) {
  OneSound();
  CPCMSound* again = Sound("a.wav", "again", 250);
  again->SetVirtualDataStart(802);  // not on a frame: the shared data starts at 800
  Place(again, root_, 500);
  ASSERT_EQ(SaveSession(root_, Path("s.sgp")), 1);

  auto* file = new CFileObj();
  CRefObj* held = file;
  ASSERT_EQ(file->Open(Path("s.sgp").c_str(), 0, 0), 1);
  CRIFF riff;
  ASSERT_EQ(riff.Open(file, nullptr), 1);
  std::vector<unsigned long> progress;
  ASSERT_EQ(loaded_->Load(&riff, 0, 0, 0, 0, CountProgress, &progress), 1);
  DeleteRefObject(&held);

  EXPECT_EQ(log_.opened, std::vector<std::string>{Path("a.wav")});
  auto* group = static_cast<CSoundGroup*>(loaded_);
  long offset = 0;
  auto* first = static_cast<CPCMSound*>(group->GetAtom(0, &offset));
  auto* second = static_cast<CPCMSound*>(group->GetAtom(1, &offset));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(offset, 500);
  EXPECT_EQ(second->Length(0), 250);
  EXPECT_EQ(second->GetVirtualDataStart(), 800);
  EXPECT_EQ(second->GetRefObj()->DataSize(), 3200);
  EXPECT_EQ(first->GetVirtualDataStart(), 400);
  // The second sound's load reports 0 and then the bytes it took over.
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress[progress.size() - 2], 0u);
  EXPECT_EQ(progress.back(), 3200u);

  CMyArrayList* duplicates = GetDuplicateList(first);
  ASSERT_NE(duplicates, nullptr);
  EXPECT_EQ(duplicates->Count(), 1);
  EXPECT_EQ(duplicates->Index(0), second);
  delete duplicates;
}

// A sound kind that only listens: its files go through the engine's own initial load.
class ListeningSound : public CPCMSound {
 public:
  explicit ListeningSound(LoadLog* log) : log_(log) {}
  int InitialLoad(CRefObj* source, long bufferMs, int a, int b, int c, int d, int e,
                  TLoadProgress progress, void* context) override {
    log_->opened.push_back("");
    return CPCMSound::InitialLoad(source, bufferMs, a, b, c, d, e, progress, context);
  }
  void ErrorLoadingFile(unsigned long code) override { log_->errors.push_back(code); }

 private:
  LoadLog* log_;
};

class ListeningGroup : public CSoundGroup {
 public:
  explicit ListeningGroup(LoadLog* log) : log_(log) {}
  int LoadSubAtom(CRIFF* riff, unsigned long type, int a, int b, int c, int d,
                  TLoadProgress progress, void* context) override {
    if (type != FourCC("sndc"))
      return CSoundGroup::LoadSubAtom(riff, type, a, b, c, d, progress, context);
    return LoadNewSubAtom(new ListeningSound(log_), riff, a, b, c, d, progress, context);
  }

 private:
  LoadLog* log_;
};

TEST_F(SessionFileTest, SoundsLoadThroughTheEnginesInitialLoad) {
  OneSound();
  Place(Sound("a.wav", "again", 250), root_, 500);
  ASSERT_EQ(SaveSession(root_, Path("s.sgp")), 1);
  CAudioAtom* group = new ListeningGroup(&log_);
  ASSERT_EQ(LoadSessionFile(group, Path("s.sgp")), 1);
  EXPECT_TRUE(log_.errors.empty());
  long offset = 0;
  auto* first = static_cast<CPCMSound*>(static_cast<CSoundGroup*>(group)->GetAtom(0, &offset));
  auto* second = static_cast<CPCMSound*>(static_cast<CSoundGroup*>(group)->GetAtom(1, &offset));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->Length(0), 100);
  EXPECT_EQ(second->Length(0), 250);
  EXPECT_EQ(first->GetRefObj()->DataSize(), 3200);
  EXPECT_EQ(second->GetRefObj()->DataSize(), 3200);
  EXPECT_EQ(first->GetVirtualDataStart(), 400);
  EXPECT_EQ(SoundExists(Path("a.wav").c_str()), first);
  // The file was loaded once; the second sound has the first one's peaks.
  EXPECT_EQ(log_.opened.size(), 1u);
  ASSERT_NE(first->GetPeaks(), nullptr);
  ASSERT_NE(second->GetPeaks(), nullptr);
  EXPECT_EQ(second->GetPeaks()->GetNumPeaks(), first->GetPeaks()->GetNumPeaks());
  // The waveform of a sound starting 400 bytes (12.5 ms) in starts at the same place, whether
  // it loaded the file itself or shares it.
  const unsigned long firstPeak = 12 / first->GetPeaks()->NumMilsPerPeak();
  EXPECT_EQ(first->GetPeaks()->GetVirtualStart(), firstPeak);
  EXPECT_EQ(second->GetPeaks()->GetVirtualStart(), 0u);
  DeleteAtom(&group);

  // Embedded sounds load through it too.
  Bytes bytes;
  ASSERT_EQ(SaveSession(root_, "", &bytes, 0), 1);
  log_ = LoadLog{};
  group = new ListeningGroup(&log_);
  ASSERT_EQ(LoadSessionBytes(group, bytes), 1);
  EXPECT_TRUE(log_.errors.empty());
  EXPECT_EQ(static_cast<CSoundGroup*>(group)->NumAtoms(kAtomTypeSound, 0), 2);
  DeleteAtom(&group);
}

// Answers every progress call with 1 until the `cancelAt`-th, which cancels (0: never).
struct CancelAt {
  int cancelAt = 0;
  int calls = 0;
  static int Answer(unsigned long, void* self) {
    auto* c = static_cast<CancelAt*>(self);
    return ++c->calls == c->cancelAt ? 0 : 1;
  }
};

int LoadWithProgress(CAudioAtom* root, const std::string& path, CancelAt* progress) {
  auto* file = new CFileObj();
  CRefObj* held = file;
  int result = 0;
  if (file->Open(path.c_str(), 0, 0)) {
    CRIFF riff;
    if (riff.Open(file, nullptr)) {
      result = root->Load(&riff, 1, 1, 0, 10, CancelAt::Answer, progress);
    }
  }
  DeleteRefObject(&held);
  return result;
}

TEST_F(SessionFileTest, ACancelledOpenIsRefusedWholeAndBlamesNoFile) {
  OneSound();
  Place(Sound("b.wav", "b"), root_, 300);
  Place(Sound("a.wav", "again", 250), root_, 500);  // shares a.wav's data
  ASSERT_EQ(SaveSession(root_, Path("s.sgp")), 1);

  // How many progress calls a whole open makes.
  CancelAt dry;
  CAudioAtom* whole = new ListeningGroup(&log_);
  ASSERT_EQ(LoadWithProgress(whole, Path("s.sgp"), &dry), 1);
  EXPECT_EQ(static_cast<CSoundGroup*>(whole)->NumAtoms(kAtomTypeSound, 0), 3);
  DeleteAtom(&whole);
  ASSERT_GE(dry.calls, 3);

  // Cancelling at the first call, in the middle, and at the shared sound's last call: the
  // open fails with the cancel code, keeps no sound, and reports no file as faulty.
  for (int at : {1, dry.calls / 2, dry.calls - 1, dry.calls}) {
    SCOPED_TRACE(at);
    log_ = LoadLog{};
    CancelAt cancel{at};
    CAudioAtom* group = new ListeningGroup(&log_);
    platform::clear_last_error();
    EXPECT_EQ(LoadWithProgress(group, Path("s.sgp"), &cancel), 0);
    EXPECT_EQ(platform::last_error(), sonark::kErrLoadCancelled);
    EXPECT_EQ(static_cast<CSoundGroup*>(group)->NumAtoms(kAtomTypeMembers, 0), 0);
    EXPECT_TRUE(log_.errors.empty());
    EXPECT_EQ(cancel.calls, at);  // nothing more was loaded after the cancel
    DeleteAtom(&group);
  }
}

TEST_F(SessionFileTest, SoundThatCannotBeLoadedIsLeftOutAndReported) {
  OneSound();
  Place(Sound("b.wav", "b"), root_, 300);
  ASSERT_EQ(SaveSession(root_, Path("s.sgp")), 1);
  ASSERT_EQ(std::rename(Path("b.wav").c_str(), Path("moved.wav").c_str()), 0);

  ASSERT_EQ(LoadSessionFile(loaded_, Path("s.sgp")), 1);
  EXPECT_EQ(static_cast<CSoundGroup*>(loaded_)->NumAtoms(kAtomTypeMembers, 0), 1);
  EXPECT_EQ(log_.missing, std::vector<std::string>{Path("b.wav")});
  EXPECT_EQ(log_.errors, std::vector<unsigned long>{sonark::kErrSoundFileMissing});
  EXPECT_EQ(platform::last_error(), 0u);

  // The missing-file search finds it elsewhere.
  log_ = LoadLog{};
  log_.proposal = Path("moved.wav");
  CAudioAtom* again = new LoggingGroup(&log_);
  ASSERT_EQ(LoadSessionFile(again, Path("s.sgp")), 1);
  EXPECT_EQ(static_cast<CSoundGroup*>(again)->NumAtoms(kAtomTypeMembers, 0), 2);
  EXPECT_EQ(log_.opened.back(), Path("moved.wav"));
  EXPECT_TRUE(log_.errors.empty());
  DeleteAtom(&again);

  // A file that is there but is no sound: its load's own code is reported.
  ASSERT_TRUE(WriteFile(Path("b.wav"), Bytes(100, 'x')));
  log_ = LoadLog{};
  CAudioAtom* third = new LoggingGroup(&log_);
  ASSERT_EQ(LoadSessionFile(third, Path("s.sgp")), 1);
  EXPECT_EQ(log_.errors, std::vector<unsigned long>{0x20000102});
  EXPECT_TRUE(log_.missing.empty());
  DeleteAtom(&third);
}

TEST_F(SessionFileTest, AFileReplacedSinceTheSaveIsReportedWithWhatChanged) {
  OneSound();
  Bytes bytes;
  ASSERT_EQ(SaveSession(root_, Path("s.sgp"), &bytes), 1);
  auto load = [&](sonark::SessionLoadReport* report) {
    DeleteAtom(&loaded_);
    loaded_ = new LoggingGroup(&log_);
    sonark::SessionLoadScope scope(report);
    EXPECT_EQ(LoadSessionFile(loaded_, Path("s.sgp")), 1);
    CAudioAtom* sound = static_cast<CSoundGroup*>(loaded_)->GetAtom(0, nullptr);
    return sound != nullptr ? static_cast<CPCMSound*>(sound)->FileChangedSinceSave() : -1;
  };

  sonark::SessionLoadReport same;
  EXPECT_EQ(load(&same), 0);
  EXPECT_TRUE(same.changed.empty());

  ASSERT_TRUE(WriteWave(Path("a.wav"), 500));
  sonark::SessionLoadReport shorter;
  EXPECT_EQ(load(&shorter), 1);
  ASSERT_EQ(shorter.changed.size(), 1u);
  EXPECT_EQ(shorter.changed[0].name, "a");
  EXPECT_EQ(shorter.changed[0].path, Path("a.wav"));
  EXPECT_EQ(shorter.changed[0].savedDataBytes, 3200);
  EXPECT_EQ(shorter.changed[0].dataBytes, 2000);
  EXPECT_EQ(shorter.changed[0].savedFileBytes, 3244);
  EXPECT_EQ(shorter.changed[0].fileBytes, 2044);
  EXPECT_FALSE(shorter.Damaged());

  // A session of an earlier version recorded nothing to compare with.
  const size_t sound = FindChunk(bytes, "atom", 1) + 8;
  std::fill(bytes.begin() + static_cast<long>(sound) + 532,
            bytes.begin() + static_cast<long>(sound) + 584, 0);
  ASSERT_TRUE(WriteFile(Path("s.sgp"), bytes));
  sonark::SessionLoadReport earlier;
  EXPECT_EQ(load(&earlier), 0);
  EXPECT_TRUE(earlier.changed.empty());
}

TEST_F(SessionFileTest, EmbeddedSoundsCarryTheirDataAndLoadBack) {
  OneSound();
  Bytes bytes;
  ASSERT_EQ(SaveSession(root_, "", &bytes, 0), 1);
  EXPECT_EQ(Outline(bytes),
            "RIFF:sess{LIST:sgrp{atom(584) smap(124) sgdt(4) sgif(2152) "
            "LIST:sndc{atom(584) smap(124) LIST:WAVE{fmt (18) data(3200)}}}}");
  const size_t data = FindChunk(bytes, "data") + 8;
  const Bytes wave = ReadFile(Path("a.wav"));
  EXPECT_TRUE(std::equal(wave.begin() + kWaveHeaderBytes, wave.end(), bytes.begin() + data));
  tWAVEFORMATEX format{};
  std::memcpy(&format, bytes.data() + FindChunk(bytes, "fmt ") + 8, 18);
  EXPECT_EQ(format.nSamplesPerSec, 8000u);
  EXPECT_EQ(format.nBlockAlign, 4);
  EXPECT_EQ(root_->SaveSize(0), (584 + 120) + 4 + (584 + 120 + 3200 + 18u));

  // The data comes back through an initial load of a wave file in memory.
  ASSERT_EQ(LoadSessionBytes(loaded_, bytes), 1);
  EXPECT_EQ(log_.opened, std::vector<std::string>{"<memory>"});
  long offset = 0;
  auto* sound = static_cast<CPCMSound*>(static_cast<CSoundGroup*>(loaded_)->GetAtom(0, &offset));
  ASSERT_NE(sound, nullptr);
  EXPECT_EQ(sound->GetRefObj()->DataSize(), 3200);
  EXPECT_EQ(sound->Length(0), 100);
  EXPECT_EQ(sound->GetVirtualDataStart(), 400);

  // Embedded data that cannot be read back leaves the sound out, reported.
  std::memcpy(bytes.data() + data - 8, "DATA", 4);
  log_ = LoadLog{};
  CAudioAtom* damaged = new LoggingGroup(&log_);
  EXPECT_EQ(LoadSessionBytes(damaged, bytes), 1);
  EXPECT_EQ(static_cast<CSoundGroup*>(damaged)->NumAtoms(kAtomTypeMembers, 0), 0);
  EXPECT_EQ(log_.errors, std::vector<unsigned long>{sonark::kErrEmbeddedSound});
  DeleteAtom(&damaged);
}

TEST_F(SessionFileTest, TruncatedSessionsAreRefusedAtEveryLength) {
  OneSound();
  CSoundGroup* inner = Group("inner", "", "01/01/01  01:01:01");
  Place(Sound("b.wav", "b"), inner, 0);
  Finish(inner);
  Place(inner, root_, 120);
  Finish(root_);
  Bytes bytes;
  ASSERT_EQ(SaveSession(root_, "", &bytes), 1);  // in memory: the paths are absolute
  ASSERT_EQ(LoadSessionBytes(loaded_, bytes), 1);
  ASSERT_EQ(Describe(loaded_), Describe(root_));

  for (size_t length = 0; length < bytes.size(); ++length) {
    const Bytes cut(bytes.begin(), bytes.begin() + static_cast<long>(length));
    CAudioAtom* group = new LoggingGroup(&log_);
    platform::clear_last_error();
    ASSERT_EQ(LoadSessionBytes(group, cut), 0) << length;
    EXPECT_NE(platform::last_error(), 0u) << length;
    EXPECT_EQ(static_cast<CSoundGroup*>(group)->NumAtoms(kAtomTypeMembers, 0), 0) << length;
    DeleteAtom(&group);
  }
}

TEST_F(SessionFileTest, TruncatedSessionsSalvageEveryWholeSoundAndSayWhereTheFileEnds) {
  OneSound();
  CSoundGroup* inner = Group("inner", "", "01/01/01  01:01:01");
  Place(Sound("b.wav", "b"), inner, 0);
  Finish(inner);
  Place(inner, root_, 120);
  Finish(root_);
  Bytes bytes;
  ASSERT_EQ(SaveSession(root_, "", &bytes), 1);
  const std::string a = Describe(static_cast<CSoundGroup*>(root_)->GetAtom(0, nullptr));
  const size_t bStart = FindChunk(bytes, "sndc", 1) - 8;

  int sounds = 0;
  for (size_t length = 0; length < bytes.size(); ++length) {
    SCOPED_TRACE(length);
    const Bytes cut(bytes.begin(), bytes.begin() + static_cast<long>(length));
    CAudioAtom* group = new LoggingGroup(&log_);
    sonark::SessionLoadReport report;
    int result = 0;
    {
      sonark::SessionLoadScope scope(&report);
      result = LoadSessionBytes(group, cut);
    }
    auto* loaded = static_cast<CSoundGroup*>(group);
    if (result == 1) {
      EXPECT_TRUE(report.Damaged());
      // The file's end is said once, by the innermost list it cuts.
      int ends = 0;
      for (const auto& skip : report.skipped) ends += skip.detail.find("the file ends") == 0;
      EXPECT_EQ(ends, 1);
      // What came back never shrinks as more of the file is there, and is whole.
      const int now = loaded->NumAtoms(kAtomTypeSound, 1);
      EXPECT_GE(now, sounds);
      sounds = now;
      if (loaded->NumAtoms(kAtomTypeMembers, 0) > 0) {
        EXPECT_EQ(Describe(loaded->GetAtom(0, nullptr)), a);
      }
      if (length > bStart + 100) {
        ASSERT_FALSE(report.skipped.empty());
        EXPECT_EQ(report.skipped[0].group, "\"inner\" (item 2)");
        EXPECT_EQ(report.skipped[0].record, 1);
        EXPECT_EQ(report.skipped[0].kind, "sound");
        EXPECT_EQ(report.skipped[0].name, "b");
      }
    } else {
      // Only a file that ends before the root's own records is refused whole.
      EXPECT_LT(length, FindChunk(bytes, "sgdt")) << std::hex << platform::last_error();
      EXPECT_EQ(loaded->NumAtoms(kAtomTypeMembers, 0), 0);
    }
    DeleteAtom(&group);
  }
  EXPECT_EQ(sounds, 1);
}

// Sessions put together chunk by chunk, for what our writer never produces.
class DamagedSessionTest : public SessionFileTest {
 protected:
  static Bytes Build(const std::function<void(CRIFF&)>& body) {
    CMemObj memory;
    memory.Create();
    {
      CRIFF riff;
      EXPECT_EQ(riff.Create(&memory, FourCC("sess")), 1);
      body(riff);
    }
    Bytes out(static_cast<size_t>(memory.Size()));
    memory.Seek(0, 0);
    memory.Read(reinterpret_cast<char*>(out.data()), static_cast<long>(out.size()));
    return out;
  }

  static void Atom(CRIFF& riff, long recordBytes = 584, bool withMap = true,
                   const std::string& name = "") {
    Bytes record(static_cast<size_t>(recordBytes), 0);
    if (recordBytes >= 584) Put32(record, 520, kAtomMark);
    std::memcpy(record.data() + 8, name.data(), name.size());
    riff.WriteSubChunk(FourCC("atom"), record.data(), recordBytes);
    if (withMap) {
      Bytes map(4, 0);
      riff.WriteSubChunk(FourCC("smap"), map.data(), 4);
    }
  }

  static void Count(CRIFF& riff, uint32_t count) {
    Bytes bytes(4);
    Put32(bytes, 0, count);
    riff.WriteSubChunk(FourCC("sgdt"), bytes.data(), 4);
  }

  static void Open(CRIFF& riff, const char (&type)[5]) {
    riff.WriteListChunkHeader(FourCC(type));
    riff.Descend();
  }

  void SoundRef(CRIFF& riff, const std::string& path) {
    Open(riff, "sndc");
    Atom(riff);
    Bytes ref(260, 0);
    std::memcpy(ref.data(), path.data(), path.size());
    riff.WriteSubChunk(FourCC("sref"), ref.data(), 260);
    riff.Ascend();
  }

  // Loads `bytes` and expects it refused with `code`, with nothing of it left in the group.
  void ExpectRefused(const Bytes& bytes, uint32_t code) {
    CAudioAtom* group = new LoggingGroup(&log_);
    platform::clear_last_error();
    EXPECT_EQ(LoadSessionBytes(group, bytes), 0);
    EXPECT_EQ(platform::last_error(), code);
    EXPECT_EQ(static_cast<CSoundGroup*>(group)->NumAtoms(kAtomTypeMembers, 0), 0);
    DeleteAtom(&group);
  }
};

TEST_F(DamagedSessionTest, WellFormedHandBuiltSessionLoads) {
  const Bytes bytes = Build([&](CRIFF& riff) {
    Open(riff, "sgrp");
    Atom(riff);
    Count(riff, 2);
    SoundRef(riff, Path("a.wav"));
    // A kind this engine does not know is counted but not loaded.
    Open(riff, "zzzz");
    Atom(riff);
    riff.Ascend();
    riff.Ascend();
  });
  ASSERT_EQ(LoadSessionBytes(loaded_, bytes), 1) << std::hex << platform::last_error();
  EXPECT_EQ(static_cast<CSoundGroup*>(loaded_)->NumAtoms(kAtomTypeMembers, 0), 1);
  EXPECT_EQ(static_cast<CSoundGroup*>(loaded_)->LastSavedDataSize(), 0.0);
}

TEST_F(DamagedSessionTest, CountsThatDoNotMatchTheListsAreRefused) {
  for (uint32_t count : {0u, 1u, 3u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    SCOPED_TRACE(count);
    const Bytes bytes = Build([&](CRIFF& riff) {
      Open(riff, "sgrp");
      Atom(riff);
      Count(riff, count);
      SoundRef(riff, Path("a.wav"));
      SoundRef(riff, Path("b.wav"));
      riff.Ascend();
    });
    ExpectRefused(bytes, sonark::kErrSessionDamaged);
  }
}

TEST_F(DamagedSessionTest, ASalvagingLoadLeavesOutWhatIsDamagedAndSaysWhere) {
  const Bytes bytes = Build([&](CRIFF& riff) {
    Open(riff, "sgrp");
    Atom(riff);
    Count(riff, 3);  // one too few
    SoundRef(riff, Path("a.wav"));
    Open(riff, "sndc");  // a record cut short
    Atom(riff, 560, true, "broken");
    riff.Ascend();
    Open(riff, "sgrp");
    Atom(riff, 584, true, "inner");
    Count(riff, 2);  // one too many
    SoundRef(riff, Path("b.wav"));
    riff.Ascend();
    SoundRef(riff, Path("b.wav"));
    riff.Ascend();
  });
  ExpectRefused(bytes, sonark::kErrSessionDamaged);

  log_ = LoadLog{};
  sonark::SessionLoadReport report;
  {
    sonark::SessionLoadScope scope(&report);
    ASSERT_EQ(LoadSessionBytes(loaded_, bytes), 1) << std::hex << platform::last_error();
  }
  auto* root = static_cast<CSoundGroup*>(loaded_);
  EXPECT_EQ(root->NumAtoms(kAtomTypeSound, 0), 2);
  ASSERT_EQ(root->NumAtoms(kAtomTypeGroup, 0), 1);
  EXPECT_EQ(log_.opened, (std::vector<std::string>{Path("a.wav"), Path("b.wav")}));

  ASSERT_EQ(report.skipped.size(), 3u);
  EXPECT_EQ(report.skipped[0].group, "");
  EXPECT_EQ(report.skipped[0].record, 2);
  EXPECT_EQ(report.skipped[0].kind, "sound");
  EXPECT_EQ(report.skipped[0].name, "broken");
  EXPECT_EQ(report.skipped[0].code, sonark::kErrSessionDamaged);
  EXPECT_EQ(report.skipped[1].group, "\"inner\" (item 3)");
  EXPECT_EQ(report.skipped[1].record, 0);
  EXPECT_EQ(report.skipped[1].detail, "it says it holds 2 item(s); 1 were found");
  EXPECT_EQ(report.skipped[2].group, "");
  EXPECT_EQ(report.skipped[2].detail, "it says it holds 3 item(s); 4 were found");

  // What was salvaged saves as a whole session again.
  Bytes again;
  ASSERT_EQ(SaveSession(loaded_, "", &again), 1);
  CAudioAtom* reloaded = new LoggingGroup(&log_);
  EXPECT_EQ(LoadSessionBytes(reloaded, again), 1);
  EXPECT_EQ(static_cast<CSoundGroup*>(reloaded)->NumAtoms(kAtomTypeMembers, 1),
            root->NumAtoms(kAtomTypeMembers, 1));
  DeleteAtom(&reloaded);
}

TEST_F(DamagedSessionTest, MissingOrShortRecordsAreRefused) {
  const std::vector<std::function<void(CRIFF&)>> groups = {
      [&](CRIFF& riff) { Count(riff, 0); },                          // no atom record
      [&](CRIFF& riff) { Atom(riff, 583), Count(riff, 0); },         // short atom record
      [&](CRIFF& riff) { Atom(riff, 584, false), Count(riff, 0); },  // no map
      [&](CRIFF& riff) { Atom(riff); },                              // no count
      [&](CRIFF& riff) {                                             // short count
        Atom(riff);
        riff.WriteSubChunk(FourCC("sgdt"), const_cast<char*>("ab"), 2);
      },
      [&](CRIFF& riff) {  // short information block
        Atom(riff);
        Count(riff, 0);
        Bytes info(2000, 0);
        riff.WriteSubChunk(FourCC("sgif"), info.data(), 2000);
      },
      [&](CRIFF& riff) {  // a sound without its path
        Atom(riff);
        Count(riff, 1);
        Open(riff, "sndc");
        Atom(riff);
        riff.Ascend();
      },
      [&](CRIFF& riff) {  // a path without its end
        Atom(riff);
        Count(riff, 1);
        Open(riff, "sndc");
        Atom(riff);
        Bytes ref(260, 'x');
        riff.WriteSubChunk(FourCC("sref"), ref.data(), 260);
        riff.Ascend();
      },
      [&](CRIFF& riff) {  // a damaged map
        Bytes record(584, 0);
        riff.WriteSubChunk(FourCC("atom"), record.data(), 584);
        Bytes map(4, 0);
        Put32(map, 0, 5);
        riff.WriteSubChunk(FourCC("smap"), map.data(), 4);
        Count(riff, 0);
      },
  };
  for (size_t i = 0; i < groups.size(); ++i) {
    SCOPED_TRACE(i);
    ExpectRefused(Build([&](CRIFF& riff) {
                    Open(riff, "sgrp");
                    groups[i](riff);
                    riff.Ascend();
                  }),
                  sonark::kErrSessionDamaged);
  }
  // A session whose root is no list at all.
  ExpectRefused(Build([&](CRIFF& riff) { Atom(riff); }), sonark::kErrSessionDamaged);
}

TEST_F(DamagedSessionTest, ListsNestedBeyondTheTreeLimitAreRefused) {
  auto nest = [&](int depth) {
    return Build([&](CRIFF& riff) {
      for (int level = 0; level < depth; ++level) {
        Open(riff, "sgrp");
        Atom(riff);
        Count(riff, level + 1 < depth ? 1 : 0);
      }
      for (int level = 0; level < depth; ++level) riff.Ascend();
    });
  };
  ASSERT_EQ(LoadSessionBytes(loaded_, nest(kMaxTreeDepth + 1)), 1);
  ExpectRefused(nest(kMaxTreeDepth + 2), sonark::kErrTreeTooDeep);
  ExpectRefused(nest(45), sonark::kErrTreeTooDeep);
}

TEST_F(DamagedSessionTest, AnEmptyStoredPathIsReportedAndTheSoundLeftOut) {
  const Bytes bytes = Build([&](CRIFF& riff) {
    Open(riff, "sgrp");
    Atom(riff);
    Count(riff, 2);
    SoundRef(riff, "");
    SoundRef(riff, Path("a.wav"));
    riff.Ascend();
  });
  ASSERT_EQ(LoadSessionBytes(loaded_, bytes), 1);
  EXPECT_EQ(log_.errors, std::vector<unsigned long>{sonark::kErrEmptySoundPath});
  EXPECT_TRUE(log_.missing.empty());
  EXPECT_EQ(static_cast<CSoundGroup*>(loaded_)->NumAtoms(kAtomTypeMembers, 0), 1);
}

}  // namespace
