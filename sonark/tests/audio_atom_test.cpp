#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/mixer/current_mixer.h>
#include <sonark/model/atom_player.h>
#include <sonark/tests/atom_test_support.h>
#include <tarnell/mem_obj.h>

#include <cctype>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace atom_test;

namespace {

// Records what an atom is told about itself.
class RecordingAtom : public CAudioAtom {
 public:
  RecordingAtom() = default;
  RecordingAtom(const RecordingAtom& other) : CAudioAtom(other) {}
  void NotifyAtom(TSoundStateCode code, long value) override {
    codes.push_back(code);
    values.push_back(value);
  }
  CAudioAtom* Copy() override { return FinishCopy(new RecordingAtom(*this)); }
  CAudioAtom* Copy(long from, long to) override { return CAudioAtom::Copy(from, to); }
  std::vector<int> codes;
  std::vector<long> values;
};

double Value(const CMap& map, int type, long time) { return map.GetSimpleValueAtTime(time, type); }

// "MM/DD/YY  hh:mm:ss"
bool IsTimeText(const char* text) {
  const char* form = "00/00/00  00:00:00";
  if (std::strlen(text) != std::strlen(form)) return false;
  for (size_t i = 0; form[i] != '\0'; ++i) {
    bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (form[i] == '0' ? !digit : text[i] != form[i]) return false;
  }
  return true;
}

CMemObj* MemoryOf(long bytes) {
  auto* mem = new CMemObj();
  std::vector<unsigned char> data(static_cast<size_t>(bytes), 0);
  EXPECT_EQ(mem->Open(data.data(), data.size()), 1);
  return mem;
}

}  // namespace

TEST(AudioAtom, DeleteAtomDestroysOnTheLastReferenceOnly) {
  CAudioAtom* atom = NewSound(100);
  ASSERT_EQ(g_live_atoms, 1);
  atom->AddReference();
  EXPECT_EQ(atom->ReferenceCount(), 2);
  DeleteAtom(&atom);
  EXPECT_NE(atom, nullptr);
  EXPECT_EQ(g_live_atoms, 1);
  DeleteAtom(&atom);
  EXPECT_EQ(atom, nullptr);
  EXPECT_EQ(g_live_atoms, 0);
  DeleteAtom(&atom);
  DeleteAtom(nullptr);
}

TEST(AudioAtom, StateChangesAreReportedWithTheirCodes) {
  RecordingAtom atom;
  atom.Mute(1);
  atom.SetLock(1);
  EXPECT_EQ(atom.GetChunkFlags(), kChunkFlagMuted | kChunkFlagLocked);
  atom.Mute(0);
  atom.SetLock(0);
  atom.SetPlayMode(1, 250);
  EXPECT_EQ(atom.Playing(), 1);
  atom.NotifyOfNewMap();
  EXPECT_EQ(atom.HasNewMap(), 1);
  atom.SetPlayMode(0, 0);
  EXPECT_EQ(atom.GetChunkFlags(), 0u);
  EXPECT_EQ(atom.codes, (std::vector<int>{3, 6, 4, 7, 0, 2}));
  EXPECT_EQ(atom.values[4], 250);

  atom.SetMixerFlag(kMixerFlagStructure | kMixerFlagStopRequest);
  atom.ClearMixerFlag(kMixerFlagStructure);
  EXPECT_EQ(atom.GetFlag(kMixerFlagStopRequest | kMixerFlagStructure),
            static_cast<int>(kMixerFlagStopRequest));
}

TEST(AudioAtom, MapCombiningSwitchNestsAndNeverGoesNegative) {
  DisableMapCombining();
  DisableMapCombining();
  EnableMapCombining();
  EXPECT_EQ(MapCombiningEnabled(), 0);
  EnableMapCombining();
  EXPECT_EQ(MapCombiningEnabled(), 1);
  EnableMapCombining();  // one too many
  DisableMapCombining();
  EXPECT_EQ(MapCombiningEnabled(), 0);
  EnableMapCombining();
  EXPECT_EQ(MapCombiningEnabled(), 1);
}

TEST(AudioAtom, NestedNameFitsTheBufferAndStopsAtTenAncestors) {
  auto* a = new CountedGroup();
  a->SetAtomName("a");
  CAudioAtom* b = NewSound(100, 44100, 16, "b");
  b->AddReference();
  AddOwned(b, a, 0);
  char name[64];
  b->GetNestedName(name, sizeof name, 1);
  EXPECT_STREQ(name, "a : b");
  b->GetNestedName(name, sizeof name, 0);
  EXPECT_STREQ(name, "b");
  // "a : " needs 5 bytes with its NUL; the name after it does not fit and is left out.
  b->GetNestedName(name, 5, 1);
  EXPECT_STREQ(name, "a : ");
  b->GetNestedName(name, 4, 1);
  EXPECT_STREQ(name, "");
  DeleteAtom(&b);

  std::string long_name(600, 'x');
  a->SetAtomName(long_name.c_str());
  EXPECT_EQ(std::string(a->GetInfo()->name).size(), 511u);

  CSoundGroup* inner = a;
  for (int level = 0; level < 12; ++level) {
    auto* group = new CountedGroup();
    group->SetAtomName(std::to_string(level).c_str());
    AddOwned(group, inner, 0);
    inner = group;
  }
  a->SetAtomName("top");
  std::vector<char> text(4096);
  inner->GetNestedName(text.data(), static_cast<long>(text.size()), 50);
  EXPECT_STREQ(text.data(), "1 : 2 : 3 : 4 : 5 : 6 : 7 : 8 : 9 : 10 : 11");
  CAudioAtom* top = a;
  DeleteAtom(&top);
  EXPECT_EQ(g_live_atoms, 0);
}

TEST(AudioAtom, CopiesCarryTheAtomPartAndSpanMaps) {
  RecordingAtom atom;
  atom.SetAbsoluteOffset(300);
  atom.SetAtomName("orig");
  atom.SetVirtualDataStart(4096);
  atom.SetPrivateData(&atom);
  atom.GetSrcMap()->AddSimpleEvent(kMapVolume, 0, 1.0);
  atom.GetSrcMap()->AddSimpleEvent(kMapVolume, 1000, 0.0);
  atom.CombineWithParentMap(kMapAll);
  atom.Mute(1);
  atom.SetLock(1);

  CAudioAtom* copy = atom.Copy();
  auto* recorded = static_cast<RecordingAtom*>(copy);
  EXPECT_EQ(copy->AbsoluteOffset(), 300);
  EXPECT_STREQ(copy->GetInfo()->name, "orig");
  EXPECT_EQ(copy->GetVirtualDataStart(), 4096);
  EXPECT_EQ(copy->GetPrivateData(), nullptr);
  EXPECT_EQ(copy->GetChunkFlags(), kChunkFlagMuted);
  EXPECT_EQ(copy->ReferenceCount(), 1);
  EXPECT_EQ(recorded->codes, std::vector<int>{kSoundMuted});
  EXPECT_DOUBLE_EQ(Value(*copy->GetSrcMap(), kMapVolume, 250), 0.75);
  DeleteAtom(&copy);

  CAudioAtom* part = atom.Copy(100, 200);
  ASSERT_NE(part, nullptr);
  for (const CMap* map :
       {static_cast<const CMap*>(part), static_cast<const CMap*>(part->GetSrcMap())}) {
    ASSERT_EQ(map->NumEvents(kMapVolume), 2);
    EXPECT_DOUBLE_EQ(Value(*map, kMapVolume, 0), 0.9);
    EXPECT_DOUBLE_EQ(Value(*map, kMapVolume, 100), 0.8);
  }
  DeleteAtom(&part);

  platform::clear_last_error();
  EXPECT_EQ(atom.Copy(200, 100), nullptr);
  EXPECT_EQ(platform::last_error(), sonark::kErrInvalidAtomArgument);
}

TEST(PcmSound, OwnsOneReferenceOnItsDataObjectAndSharesItWithCopies) {
  CRefObj* mem = MemoryOf(1000);
  CountedSound* sound = NewSound(500, 22050, 8);
  sound->SetRefObj(mem);
  EXPECT_EQ(mem->References(), 2);
  EXPECT_EQ(sound->Type(), kAtomTypeSound);
  EXPECT_EQ(sound->Format()->nSamplesPerSec, 22050u);
  EXPECT_EQ(sound->Format()->wBitsPerSample, 8);

  CAudioAtom* copy = sound->Copy();
  EXPECT_EQ(mem->References(), 3);
  EXPECT_EQ(copy->Length(0), 500);
  EXPECT_NE(static_cast<CPCMSound*>(copy)->Format(), sound->Format());
  DeleteAtom(&copy);

  sound->SetRefObj(nullptr);
  EXPECT_EQ(mem->References(), 1);
  sound->SetRefObj(mem);
  CAudioAtom* atom = sound;
  DeleteAtom(&atom);
  EXPECT_EQ(mem->References(), 1);
  DeleteRefObject(&mem);
  EXPECT_EQ(g_live_atoms, 0);
}

TEST(PcmSound, RateIntegralsFollowTheRateEnvelope) {
  CountedSound* sound = NewSound(1000);
  CMap* source = sound->GetSrcMap();
  source->RemoveAllSimpleEvents(kMapRate);
  source->AddSimpleEvent(kMapRate, 0, 1.0);
  source->AddSimpleEvent(kMapRate, 1000, 2.0);
  sound->SetVirtualLength(1000);
  EXPECT_DOUBLE_EQ(sound->GetLastRateLength(), 1500.0);
  sound->CombineWithParentMap(kMapAll);
  EXPECT_EQ(sound->Length(0), 1000);
  EXPECT_EQ(sound->Length(1), 1500);

  // A part keeps the envelope of its span: 1.0 rising to 1.4 over 400 ms.
  CAudioAtom* part = sound->Copy(0, 400);
  EXPECT_EQ(part->Length(0), 400);
  EXPECT_DOUBLE_EQ(part->GetLastRateLength(), 480.0);
  CAudioAtom* rest = sound->Copy(100, 2147483647);
  EXPECT_EQ(rest->Length(0), 1000);
  DeleteAtom(&part);
  DeleteAtom(&rest);

  // Shortening moves the envelope's end with it.
  sound->SetVirtualLength(500);
  EXPECT_EQ(source->NumEvents(kMapRate), 2);
  EXPECT_DOUBLE_EQ(sound->GetLastRateLength(), 750.0);
  sound->SetVirtualLength(-20);
  EXPECT_EQ(sound->Length(0), 0);
  CAudioAtom* atom = sound;
  DeleteAtom(&atom);
}

TEST(PcmSound, ScalingAloneStretchesItsEnvelopes) {
  CountedSound* sound = NewSound(1000);
  sound->GetSrcMap()->RemoveAllSimpleEvents(kMapVolume);
  sound->GetSrcMap()->AddSimpleEvent(kMapVolume, 0, 1.0);
  sound->GetSrcMap()->AddSimpleEvent(kMapVolume, 1000, 0.0);
  sound->Scale(2.0);
  EXPECT_EQ(sound->Length(0), 2000);
  // Without a parent the sound itself is rebuilt.
  EXPECT_DOUBLE_EQ(Value(*sound, kMapVolume, 1000), 0.5);
  for (double bad : {0.0, -1.0, std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::quiet_NaN()}) {
    platform::clear_last_error();
    sound->Scale(bad);
    EXPECT_EQ(sound->Length(0), 2000);
    EXPECT_EQ(platform::last_error(), sonark::kErrInvalidAtomArgument);
  }
  CAudioAtom* atom = sound;
  DeleteAtom(&atom);
}

TEST(PcmSound, PlayNeedsAMixerAndStopOnlyFlagsAPlayingSound) {
  CountedSound* sound = NewSound(1000);
  EXPECT_EQ(GetCurrentMixer(), nullptr);
  platform::clear_last_error();
  EXPECT_EQ(sound->Play(0), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrNoCurrentMixer);
  EXPECT_EQ(sound->Play(1001), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrInvalidAtomArgument);
  EXPECT_EQ(sound->Stop(), 1);
  EXPECT_EQ(sound->GetFlag(kMixerFlagStopRequest), 0);
  sound->SetPlayMode(1, 0);
  EXPECT_EQ(sound->Play(0), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrAlreadyPlaying);
  EXPECT_EQ(sound->Stop(), 1);
  EXPECT_NE(sound->GetFlag(kMixerFlagStopRequest), 0);

  int stand_in = 0;
  auto* mixer = reinterpret_cast<CPCMMixer*>(&stand_in);
  SetCurrentMixer(mixer);
  EXPECT_EQ(GetCurrentMixer(), mixer);
  SetCurrentMixer(nullptr);
  CAudioAtom* atom = sound;
  DeleteAtom(&atom);
}

TEST(SoundGroup, CreationTimeAndCommentsKeepTheirForms) {
  char now[64];
  EXPECT_EQ(GetCurrentTimeString(now, sizeof now), now);
  EXPECT_TRUE(IsTimeText(now)) << now;
  CountedGroup group;
  EXPECT_TRUE(IsTimeText(group.GetCreationTime()));
  EXPECT_FALSE(IsTimeText("1/02/03  04:05:06"));
  EXPECT_STREQ(group.GetComments(), "");
  std::string long_text(2000, 'c');
  group.SetComments(long_text.c_str());
  EXPECT_EQ(std::string(group.GetComments()).size(), 1023u);
}
