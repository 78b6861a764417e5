#include <gtest/gtest.h>
#include <sonark/tests/atom_test_support.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace atom_test;

namespace {

// Reads every envelope below `group` the way the mixer does, under each atom's own lock,
// taking the locks from the top down.
double SumEnvelopes(CSoundGroup* group) {
  double sum = 0;
  group->Lock();
  sum += group->GetSimpleValueAtTime(0, kMapVolume);
  for (int i = 0; CAudioAtom* sub = group->GetAtom(i, nullptr); ++i) {
    if (auto* inner = dynamic_cast<CSoundGroup*>(sub)) {
      sum += SumEnvelopes(inner);
    } else {
      sub->Lock();
      sum += sub->GetSimpleValueAtTime(sub->Length(0) / 2, kMapVolume) + sub->NumEvents(-1);
      sub->Unlock();
    }
  }
  group->Unlock();
  return sum;
}

}  // namespace

TEST(SoundGroupThreads, AWalkerUnderTheLocksSeesWholeEditsOnly) {
  auto* root = new FixedGroup();
  std::vector<CSoundGroup*> groups;
  std::vector<CAudioAtom*> sounds;
  std::mt19937 rng(99);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  auto between = [&](long low, long high) {
    return std::uniform_int_distribution<long>(low, high)(rng);
  };
  for (int g = 0; g < 6; ++g) {
    auto* group = new CountedGroup();
    group->AddReference();
    groups.push_back(group);
    CSoundGroup* host = g < 4 ? static_cast<CSoundGroup*>(root) : groups[g - 4];
    AddOwned(group, host, between(0, 10000));
    for (int s = 0; s < 8; ++s) {
      CAudioAtom* sound = NewSound(between(100, 2000), 22050 * (1 + s % 2), s % 3 ? 16 : 8);
      sound->AddReference();
      sounds.push_back(sound);
      AddOwned(sound, group, between(-1000, 8000));
    }
  }

  std::atomic<bool> done{false};
  std::atomic<int> walks{0};
  std::atomic<bool> failed{false};
  std::string fault;  // the walker's, read after it has ended
  std::thread walker([&] {
    while (!done.load()) {
      root->Lock();
      fault = CheckGroup(root, nullptr);
      double sum = SumEnvelopes(root);
      root->Unlock();
      if (!fault.empty() || sum != sum) {
        failed = true;
        break;
      }
      ++walks;
      std::this_thread::yield();
    }
  });

  for (int step = 0; step < 1200 && !failed.load(); ++step) {
    CAudioAtom* sound = sounds[pick(sounds.size())];
    switch (step % 6) {
      case 0:
        sound->Move(between(-1500, 9000));
        break;
      case 1:
        sound->Remove();
        sound->Add(groups[pick(groups.size())], between(-1500, 9000));
        break;
      case 2:
        groups[pick(groups.size())]->Move(between(-2000, 12000));
        break;
      case 3:
        sound->Scale(sound->Length(0) > 4000 ? 0.5 : 1.5);
        break;
      case 4: {
        CSoundGroup* group = groups[pick(groups.size())];
        group->Scale(group->Length(0) > 20000 ? 0.5 : 1.25);
        break;
      }
      default:
        sound->Mute(step % 4 == 1);
        break;
    }
  }
  // Let the walker see the final tree at least once.
  for (int seen = walks.load(); walks.load() < seen + 2 && !failed.load();) {
    std::this_thread::yield();
  }
  done = true;
  walker.join();
  EXPECT_EQ(fault, "");
  EXPECT_EQ(CheckGroup(root, nullptr), "");

  for (CAudioAtom* sound : sounds) DeleteAtom(&sound);
  for (CSoundGroup* group : groups) {
    CAudioAtom* atom = group;
    DeleteAtom(&atom);
  }
  CAudioAtom* top = root;
  DeleteAtom(&top);
  EXPECT_EQ(g_live_atoms, 0);
}
