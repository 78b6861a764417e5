#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/tests/atom_test_support.h>
#include <tarnell/mem_obj.h>

#include <vector>

using namespace atom_test;

namespace {

double Value(const CMap& map, int type, long time) { return map.GetSimpleValueAtTime(time, type); }

void ReplaceEvents(CMap* map, int type, std::vector<std::pair<long, double>> events) {
  map->RemoveAllSimpleEvents(type);
  for (auto [time, value] : events) ASSERT_EQ(map->AddSimpleEvent(type, time, value), 1);
}

void Release(CAudioAtom* atom) {
  DeleteAtom(&atom);
  EXPECT_EQ(atom, nullptr) << "someone still holds a reference";
}

class SoundGroupTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(g_live_atoms, 0) << "atoms leaked"; }
};

}  // namespace

TEST_F(SoundGroupTest, AddingBeforeTheStartMovesTheGroupEarlier) {
  auto* root = new FixedGroup();
  auto* group = new CountedGroup();
  AddOwned(group, root, 1000);
  CAudioAtom* a = NewSound(300);
  CAudioAtom* b = NewSound(100);
  AddOwned(a, group, 0);
  EXPECT_EQ(AddOwned(b, group, -500), group);
  EXPECT_EQ(OffsetIn(group, b), 0);
  EXPECT_EQ(OffsetIn(group, a), 500);
  EXPECT_EQ(OffsetIn(root, group), 500);
  EXPECT_EQ(a->AbsoluteOffset(), 1000);
  EXPECT_EQ(b->AbsoluteOffset(), 500);
  EXPECT_EQ(group->Length(0), 800);
  EXPECT_EQ(CheckGroup(root, nullptr), "");

  // A group without a parent moves itself.
  auto* top = new CountedGroup();
  top->SetAbsoluteOffset(2000);
  CAudioAtom* c = NewSound(300);
  CAudioAtom* d = NewSound(100);
  AddOwned(c, top, 0);
  AddOwned(d, top, -500);
  EXPECT_EQ(top->AbsoluteOffset(), 1500);
  EXPECT_EQ(c->AbsoluteOffset(), 2000);
  EXPECT_EQ(d->AbsoluteOffset(), 1500);
  EXPECT_EQ(CheckGroup(top, nullptr), "");
  Release(top);
  Release(root);
}

TEST_F(SoundGroupTest, MovingTheLastSoundPastTheEndGrowsEveryEnclosingGroup) {
  auto* root = new FixedGroup();
  auto* outer = new CountedGroup();
  auto* inner = new CountedGroup();
  CAudioAtom* last = NewSound(200);
  AddOwned(NewSound(200), inner, 0);
  AddOwned(last, inner, 300);
  AddOwned(NewSound(50), outer, 0);
  AddOwned(inner, outer, 100);
  AddOwned(outer, root, 0);
  ASSERT_EQ(outer->Length(0), 600);
  outer->ClearMixerFlag(kMixerFlagNewLength);
  inner->ClearMixerFlag(kMixerFlagNewLength);

  EXPECT_EQ(last->Move(1000), outer);
  EXPECT_EQ(inner->Length(0), 1200);
  EXPECT_EQ(outer->Length(0), 1300);
  EXPECT_EQ(root->Length(0), 1300);
  EXPECT_NE(inner->GetFlag(kMixerFlagNewLength), 0);
  EXPECT_NE(outer->GetFlag(kMixerFlagNewLength), 0);
  EXPECT_EQ(last->AbsoluteOffset(), 1100);
  EXPECT_EQ(CheckGroup(root, nullptr), "");
  Release(root);
}

TEST_F(SoundGroupTest, RemovingTheFirstSoundMovesTheGroupLater) {
  auto* root = new FixedGroup();
  auto* group = new CountedGroup();
  CAudioAtom* first = NewSound(100);
  CAudioAtom* second = NewSound(300);
  AddOwned(first, group, 0);
  AddOwned(second, group, 200);
  AddOwned(group, root, 1000);
  first->Remove();
  EXPECT_EQ(g_live_atoms, 3);  // the group's reference was the last one
  EXPECT_EQ(OffsetIn(group, second), 0);
  EXPECT_EQ(OffsetIn(root, group), 1200);
  EXPECT_EQ(second->AbsoluteOffset(), 1200);
  EXPECT_EQ(group->Length(0), 300);
  EXPECT_EQ(CheckGroup(root, nullptr), "");
  Release(root);
}

TEST_F(SoundGroupTest, BestFormatFollowsTheSoundsBelow) {
  auto* root = new FixedGroup();
  auto* group = new CountedGroup();
  AddOwned(group, root, 0);
  CAudioAtom* low = NewSound(100, 11025, 8);
  CAudioAtom* high = NewSound(100, 32000, 16);
  AddOwned(low, group, 0);
  AddOwned(high, group, 50);
  for (CSoundGroup* g : {static_cast<CSoundGroup*>(group), static_cast<CSoundGroup*>(root)}) {
    tWAVEFORMATEX best = g->BestFormat();
    EXPECT_EQ(best.wBitsPerSample, 16);
    EXPECT_EQ(best.nSamplesPerSec, 22050u);
    EXPECT_EQ(best.nBlockAlign, 4);
    EXPECT_EQ(best.nAvgBytesPerSec, 88200u);
    EXPECT_EQ(best.nChannels, 2);
  }
  high->Remove();
  for (CSoundGroup* g : {static_cast<CSoundGroup*>(group), static_cast<CSoundGroup*>(root)}) {
    tWAVEFORMATEX best = g->BestFormat();
    EXPECT_EQ(best.wBitsPerSample, 8);
    EXPECT_EQ(best.nSamplesPerSec, 11025u);
    EXPECT_EQ(best.nBlockAlign, 2);
    EXPECT_EQ(best.nAvgBytesPerSec, 22050u);
  }

  // A whole sub-group is counted and uncounted with every sound in it.
  auto* sub = new CountedGroup();
  AddOwned(NewSound(100, 44100, 16), sub, 0);
  AddOwned(NewSound(100, 48000, 16), sub, 0);
  sub->AddReference();
  AddOwned(sub, group, 0);
  EXPECT_EQ(root->BestFormat().nSamplesPerSec, 44100u);
  EXPECT_EQ(root->FormatCounters().rate44100, 2);
  sub->Remove();
  EXPECT_EQ(root->BestFormat().nSamplesPerSec, 11025u);
  EXPECT_TRUE(SameCounters(root->FormatCounters(), {1, 0, 1, 0, 0}));
  EXPECT_EQ(sub->BestFormat().wBitsPerSample, 16);
  Release(sub);

  tWAVEFORMATEX rateless{};
  EXPECT_EQ(group->UpdateBestFormat(&rateless, 1), 0);
  tWAVEFORMATEX loud = Pcm(22050, 16);
  EXPECT_EQ(group->UpdateBestFormat(&loud, 1), 1);
  EXPECT_EQ(group->UpdateBestFormat(&loud, 1), 0);
  group->UpdateBestFormat(&loud, 0);
  EXPECT_EQ(group->UpdateBestFormat(&loud, 0), 1);
  EXPECT_EQ(CheckGroup(root, nullptr), "");
  Release(root);
}

TEST_F(SoundGroupTest, ScalingAGroupScalesOffsetsAndLengths) {
  auto* root = new FixedGroup();
  auto* group = new CountedGroup();
  CAudioAtom* a = NewSound(100);
  CAudioAtom* b = NewSound(200);
  CAudioAtom* c = NewSound(100);
  AddOwned(a, group, 0);
  AddOwned(b, group, 150);
  AddOwned(c, group, 400);
  AddOwned(group, root, 500);

  group->Scale(2.0);
  EXPECT_EQ(OffsetIn(group, b), 300);
  EXPECT_EQ(OffsetIn(group, c), 800);
  EXPECT_EQ(a->Length(0), 200);
  EXPECT_EQ(b->Length(0), 400);
  EXPECT_EQ(c->Length(0), 200);
  EXPECT_EQ(group->Length(0), 1000);
  EXPECT_EQ(OffsetIn(root, group), 500);
  long end = -1;
  b->GetSrcMap()->GetDataBefore(1000000, kMapVolume, &end, nullptr);
  EXPECT_EQ(end, 400);
  EXPECT_EQ(CheckGroup(root, nullptr), "");

  group->Scale(0.5);
  EXPECT_EQ(OffsetIn(group, a), 0);
  EXPECT_EQ(OffsetIn(group, b), 150);
  EXPECT_EQ(OffsetIn(group, c), 400);
  EXPECT_EQ(b->Length(0), 200);
  EXPECT_EQ(group->Length(0), 500);
  EXPECT_EQ(CheckGroup(root, nullptr), "");
  Release(root);
}

TEST_F(SoundGroupTest, SpanCopiesTakeTheOverlappingParts) {
  auto* group = new CountedGroup();
  group->SetAbsoluteOffset(1000);
  auto* nested = new CountedGroup();
  AddOwned(NewSound(200), nested, 0);
  AddOwned(NewSound(100), nested, 300);
  AddOwned(NewSound(100), group, 0);
  AddOwned(NewSound(300), group, 200);
  AddOwned(nested, group, 600);
  ASSERT_EQ(group->Length(0), 1000);
  ReplaceEvents(group->GetSrcMap(), kMapVolume, {{0, 1.0}, {1000, 0.0}});

  auto* copy = static_cast<CSoundGroup*>(group->Copy(250, 700));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->AbsoluteOffset(), 1250);
  ASSERT_EQ(copy->NumAtoms(kAtomTypeMembers, 0), 2);
  long offset = -1;
  EXPECT_EQ(copy->GetAtom(0, &offset)->Length(0), 250);
  auto* nested_part = dynamic_cast<CSoundGroup*>(copy->GetAtom(1, &offset));
  ASSERT_NE(nested_part, nullptr);
  EXPECT_EQ(offset, 350);
  EXPECT_EQ(nested_part->NumAtoms(kAtomTypeMembers, 0), 1);
  EXPECT_EQ(nested_part->Length(0), 100);
  EXPECT_EQ(copy->Length(0), 450);
  EXPECT_DOUBLE_EQ(Value(*copy->GetSrcMap(), kMapVolume, 0), 0.75);
  EXPECT_DOUBLE_EQ(Value(*copy->GetSrcMap(), kMapVolume, 450), 0.3);
  EXPECT_EQ(CheckGroup(copy, nullptr), "");
  Release(copy);

  // A span that begins in a gap starts at its first part, envelopes included.
  auto* gap = static_cast<CSoundGroup*>(group->Copy(120, 250));
  EXPECT_EQ(gap->AbsoluteOffset(), 1200);
  EXPECT_EQ(gap->Length(0), 50);
  EXPECT_DOUBLE_EQ(Value(*gap->GetSrcMap(), kMapVolume, 0), 0.8);
  EXPECT_DOUBLE_EQ(Value(*gap->GetSrcMap(), kMapVolume, 50), 0.75);
  Release(gap);

  auto* empty = static_cast<CSoundGroup*>(group->Copy(520, 580));
  EXPECT_EQ(empty->NumAtoms(kAtomTypeMembers, 1), 0);
  EXPECT_EQ(empty->Length(0), 0);
  Release(empty);
  EXPECT_EQ(group->Copy(700, 250), nullptr);

  group->SetComments("notes");
  auto* deep = static_cast<CSoundGroup*>(group->Copy());
  EXPECT_EQ(deep->NumAtoms(kAtomTypeMembers, 1), 5);
  EXPECT_EQ(OffsetIn(deep, deep->GetAtom(2, nullptr)), 600);
  EXPECT_NE(deep->GetAtom(2, nullptr), nested);
  EXPECT_EQ(deep->Length(0), 1000);
  EXPECT_EQ(deep->AbsoluteOffset(), 1000);
  EXPECT_STREQ(deep->GetComments(), "");
  EXPECT_TRUE(SameCounters(deep->FormatCounters(), group->FormatCounters()));
  EXPECT_EQ(CheckGroup(deep, nullptr), "");
  Release(deep);
  Release(group);
}

TEST_F(SoundGroupTest, EffectiveMapsCombineWithTheParentsWithinLimits) {
  auto* group = new CountedGroup();
  AddOwned(NewSound(2000), group, 0);
  CMap* envelope = group->GetSrcMap();
  ReplaceEvents(envelope, kMapVolume, {{0, 1.0}, {2000, 0.0}});
  ReplaceEvents(envelope, kMapPan, {{0, 0.8}, {2000, 0.8}});
  ReplaceEvents(envelope, kMapRate, {{0, 0.5}, {2000, 0.5}});
  group->CombineWithParentMap(kMapAll);

  CAudioAtom* sound = NewSound(1000);
  ReplaceEvents(sound->GetSrcMap(), kMapPan, {{0, 0.5}, {1000, 0.5}});
  ReplaceEvents(sound->GetSrcMap(), kMapRate, {{0, 2.0}, {1000, 2.0}});
  EXPECT_EQ(AddOwned(sound, group, 500), sound);
  EXPECT_DOUBLE_EQ(Value(*sound, kMapVolume, 0), 0.75);
  EXPECT_DOUBLE_EQ(Value(*sound, kMapVolume, 1000), 0.25);
  EXPECT_DOUBLE_EQ(Value(*sound, kMapPan, 0), 1.0);
  EXPECT_DOUBLE_EQ(Value(*sound, kMapPan, 1000), 1.0);
  EXPECT_DOUBLE_EQ(Value(*sound, kMapRate, 500), 2.0);
  EXPECT_NE(sound->GetFlag(kMixerFlagNewMap), 0);

  // With combining off a move leaves the maps for one rebuild afterwards.
  DisableMapCombining();
  sound->Move(0);
  EXPECT_DOUBLE_EQ(Value(*sound, kMapVolume, 0), 0.75);
  EnableMapCombining();
  sound->CombineWithParentMap(kMapVolume);
  EXPECT_DOUBLE_EQ(Value(*sound, kMapVolume, 0), 1.0);
  EXPECT_DOUBLE_EQ(Value(*sound, kMapPan, 0), 1.0);

  // A parent that cannot combine passes nothing down.
  auto* root = new FixedGroup();
  ReplaceEvents(root->GetSrcMap(), kMapVolume, {{0, 0.1}, {5000, 0.1}});
  root->CombineWithParentMap(kMapAll);
  CAudioAtom* quiet = NewSound(1000);
  ReplaceEvents(quiet->GetSrcMap(), kMapVolume, {{0, 0.5}, {1000, 0.5}});
  AddOwned(quiet, root, 0);
  EXPECT_DOUBLE_EQ(Value(*quiet, kMapVolume, 500), 0.5);
  Release(root);
  Release(group);
}

TEST_F(SoundGroupTest, AGroupThatCannotAdjustKeepsOffsetsAsGiven) {
  auto* root = new FixedGroup();
  CAudioAtom* a = NewSound(100);
  CAudioAtom* b = NewSound(100);
  CAudioAtom* c = NewSound(100);
  AddOwned(a, root, 700);
  AddOwned(b, root, 300);
  EXPECT_EQ(OffsetIn(root, b), 300);
  EXPECT_EQ(root->Length(0), 500);
  AddOwned(c, root, -100);
  b->Move(1000);
  EXPECT_EQ(OffsetIn(root, c), -100);
  EXPECT_EQ(OffsetIn(root, a), 700);
  EXPECT_EQ(OffsetIn(root, b), 1000);
  c->Remove();
  EXPECT_EQ(OffsetIn(root, a), 700);
  EXPECT_EQ(a->AbsoluteOffset(), 700);
  EXPECT_EQ(root->AbsoluteOffset(), 0);
  EXPECT_EQ(root->Length(0), 400);
  EXPECT_EQ(CheckGroup(root, nullptr), "");
  Release(root);
}

TEST_F(SoundGroupTest, RefusesAddsThatWouldBreakTheTree) {
  auto* group = new CountedGroup();
  auto* inner = new CountedGroup();
  AddOwned(inner, group, 0);
  CAudioAtom* sound = NewSound(100);
  AddOwned(sound, inner, 0);
  auto* other = new CountedGroup();

  auto refused = [](CAudioAtom* result, uint32_t code) {
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(platform::last_error(), code);
    platform::clear_last_error();
  };
  refused(group->AddSubAtom(group, 0, 1, 1), sonark::kErrInvalidAtomArgument);
  refused(inner->AddSubAtom(group, 0, 1, 1), sonark::kErrInvalidAtomArgument);
  refused(other->AddSubAtom(sound, 0, 1, 1), sonark::kErrInvalidAtomArgument);
  refused(inner->AddSubAtom(sound, 0, 1, 1), sonark::kErrInvalidAtomArgument);
  refused(sound->Add(other, 0), sonark::kErrInvalidAtomArgument);
  refused(other->AddSubAtom(nullptr, 0, 1, 1), sonark::kErrInvalidAtomArgument);
  refused(other->RemoveSubAtom(sound, 1, 1), sonark::kErrInvalidAtomArgument);
  refused(other->MoveSubAtom(sound, 10, 1, 1), sonark::kErrInvalidAtomArgument);
  EXPECT_EQ(inner->NumAtoms(kAtomTypeMembers, 0), 1);

  // Nesting stops at kMaxTreeDepth levels below the top.
  CSoundGroup* deepest = other;
  for (long depth = 1; depth <= kMaxTreeDepth; ++depth) {
    auto* next = new CountedGroup();
    ASSERT_NE(AddOwned(next, deepest, 0), nullptr) << depth;
    deepest = next;
  }
  EXPECT_EQ(deepest->LevelsDeep(), kMaxTreeDepth);
  CAudioAtom* too_deep = NewSound(100);
  refused(deepest->AddSubAtom(too_deep, 0, 1, 1), sonark::kErrTreeTooDeep);
  refused(static_cast<CSoundGroup*>(deepest->Parent())->AddSubAtom(inner, 0, 1, 1),
          sonark::kErrInvalidAtomArgument);
  inner->AddReference();
  inner->Remove();
  refused(static_cast<CSoundGroup*>(deepest->Parent())->AddSubAtom(inner, 0, 1, 1),
          sonark::kErrTreeTooDeep);
  Release(inner);
  Release(too_deep);
  Release(other);
  Release(group);
}

TEST_F(SoundGroupTest, DestroyingAnAtomStillInAGroupTakesItOut) {
  auto* group = new CountedGroup();
  CAudioAtom* first = NewSound(100, 11025, 8);
  AddOwned(first, group, 0);
  AddOwned(NewSound(100), group, 200);
  // A release that bypasses the group's reference must not leave it pointing at nothing.
  delete first;
  EXPECT_EQ(group->NumAtoms(kAtomTypeMembers, 0), 1);
  EXPECT_EQ(group->Length(0), 100);
  EXPECT_EQ(group->FormatCounters().eightBit, 0);
  EXPECT_EQ(CheckGroup(group, nullptr), "");
  Release(group);
}

TEST_F(SoundGroupTest, CountsLookupsAndDataSizes) {
  auto memory = [](long bytes) {
    auto* mem = new CMemObj();
    std::vector<unsigned char> data(static_cast<size_t>(bytes), 0x80);
    mem->Open(data.data(), data.size());
    mem->SetDataOffsets(0, data.size());
    return mem;
  };
  auto* group = new CountedGroup();
  auto* inner = new CountedGroup();
  CountedSound* a = NewSound(100);
  CountedSound* b = NewSound(100);
  for (auto [sound, bytes] : {std::pair{a, 1000L}, std::pair{b, 2500L}}) {
    CRefObj* mem = memory(bytes);
    sound->SetRefObj(mem);
    DeleteRefObject(&mem);
  }
  AddOwned(a, group, 0);
  AddOwned(b, inner, 0);
  AddOwned(NewSound(100), inner, 50);
  AddOwned(inner, group, 100);
  CAudioAtom* last = NewSound(100);
  AddOwned(last, group, 500);
  EXPECT_DOUBLE_EQ(group->DataSizeOfSubGroups(), 3500.0);
  EXPECT_EQ(group->NumAtoms(kAtomTypeMembers, 0), 3);
  EXPECT_EQ(group->NumAtoms(kAtomTypeSound, 0), 2);
  EXPECT_EQ(group->NumAtoms(kAtomTypeGroup, 0), 1);
  EXPECT_EQ(group->NumAtoms(kAtomTypeMembers, 1), 5);
  EXPECT_EQ(group->IsMember(a), 1);
  EXPECT_EQ(group->IsMember(b), 0);
  EXPECT_EQ(group->IsChildOf(inner), 1);
  int index = -1;
  EXPECT_EQ(group->GetAtomBefore(50, index), a);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(group->GetAtomBefore(100, index), inner);
  EXPECT_EQ(group->GetAtomBefore(5000, index), last);
  EXPECT_EQ(group->GetAtom(3, nullptr), nullptr);
  EXPECT_EQ(group->GetAtom(-1, nullptr), nullptr);
  Release(group);
}

TEST_F(SoundGroupTest, OffsetSubordinatesShiftsEveryMemberOnce) {
  auto* root = new FixedGroup();
  auto* group = new CountedGroup();
  CAudioAtom* a = NewSound(100);
  CAudioAtom* b = NewSound(100);
  AddOwned(a, root, 100);
  AddOwned(b, root, 300);
  AddOwned(NewSound(100), group, 0);
  AddOwned(NewSound(100), group, 200);
  AddOwned(group, root, 1000);
  root->OffsetSubordinates(50, 0, 1);
  EXPECT_EQ(OffsetIn(root, a), 150);
  EXPECT_EQ(b->AbsoluteOffset(), 350);
  EXPECT_EQ(OffsetIn(root, group), 1050);

  // An adjustable group keeps its layout and moves as a whole instead.
  EXPECT_EQ(group->OffsetSubordinates(100, 1, 1), group);
  EXPECT_EQ(OffsetIn(root, group), 1150);
  EXPECT_EQ(OffsetIn(group, group->GetAtom(1, nullptr)), 200);
  EXPECT_EQ(group->GetAtom(0, nullptr)->AbsoluteOffset(), 1150);
  EXPECT_EQ(group->OffsetSubordinates(0, 1, 1), nullptr);
  EXPECT_EQ(CheckGroup(root, nullptr), "");
  Release(root);
}

TEST_F(SoundGroupTest, PlayStopMuteAndPlayOnceReachTheMembers) {
  auto* group = new CountedGroup();
  CAudioAtom* a = NewSound(100);
  CAudioAtom* b = NewSound(300);
  AddOwned(a, group, 0);
  AddOwned(b, group, 50);
  EXPECT_EQ(group->Play(351), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrInvalidAtomArgument);
  EXPECT_EQ(group->Play(-200), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrNoCurrentMixer);
  group->Stop();
  EXPECT_EQ(group->GetFlag(kMixerFlagStopRequest), 0);
  group->SetPlayMode(1, 0);
  group->Stop();
  EXPECT_NE(group->GetFlag(kMixerFlagStopRequest), 0);

  group->Mute(1);
  EXPECT_EQ(a->Muted() + b->Muted(), 2);
  group->SetPlayOnceMode(1);
  EXPECT_EQ(a->InPlayOnceMode() + b->InPlayOnceMode(), 2);
  EXPECT_EQ(group->FinishedWithPlayOnce(), 1);
  CountedGroup empty;
  EXPECT_EQ(empty.FinishedWithPlayOnce(), 0);
  Release(group);
}
