#include <gtest/gtest.h>
#include <sonark/tests/atom_test_support.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace atom_test;

namespace {

// Random edits on a tree of nested groups, with every invariant checked after each step.
// The test holds one reference on every atom it knows, so removed atoms stay around to be
// added again; it forgets some at random to exercise destruction.
//
// A group is only ever placed under a group created before it, as a real session is built,
// so that the order in which atoms' locks are taken stays one order throughout.
class TreeModel {
 public:
  TreeModel(unsigned seed, bool fixed_root) : rng_(seed) {
    root_ = fixed_root ? new FixedGroup() : new CountedGroup();
    root_->SetAbsoluteOffset(fixed_root ? 0 : 5000);
    root_->GetSrcMap()->SetDefaultMap(20000, kMapAll);
    root_->CombineWithParentMap(kMapAll);
    rank_[root_] = 0;
  }

  ~TreeModel() {
    for (CAudioAtom* atom : known_) DeleteAtom(&atom);
    CAudioAtom* root = root_;
    DeleteAtom(&root);
  }

  void Step() {
    int choice = Pick(100);
    if (g_live_atoms > 250 && (choice < 31 || (choice >= 83 && choice < 93))) {
      PruneSomething();
    } else if (choice < 24) {
      AddNewSound();
    } else if (choice < 31) {
      AddNewGroup();
    } else if (choice < 55) {
      MoveSomething();
    } else if (choice < 66) {
      RemoveSomething();
    } else if (choice < 74) {
      ReAddSomething();
    } else if (choice < 83) {
      ScaleSomething();
    } else if (choice < 93) {
      CopySomething();
    } else {
      ForgetSomething();
    }
  }

  // The first broken invariant, or an empty text.
  std::string Check() {
    std::string fault = CheckGroup(root_, nullptr);
    if (!fault.empty()) return "tree: " + fault;
    int live = 1 + CountBelow(root_);
    for (CAudioAtom* atom : known_) {
      long expected = atom->Parent() != nullptr ? 2 : 1;
      if (atom->ReferenceCount() != expected) {
        return "references " + std::to_string(atom->ReferenceCount());
      }
      if (atom->Parent() != nullptr) continue;
      ++live;
      if (auto* group = dynamic_cast<CSoundGroup*>(atom)) {
        live += CountBelow(group);
        fault = CheckGroup(group, nullptr);
        if (!fault.empty()) return "detached: " + fault;
      }
    }
    if (live != g_live_atoms) {
      return "live atoms " + std::to_string(g_live_atoms) + ", reachable " + std::to_string(live);
    }
    return CheckMaps(root_);
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  long Between(long low, long high) { return std::uniform_int_distribution<long>(low, high)(rng_); }

  bool InTree(CAudioAtom* atom) {
    while (atom->Parent() != nullptr) atom = atom->Parent();
    return atom == root_;
  }

  int RankOf(CAudioAtom* atom) {
    auto it = rank_.find(atom);
    return it == rank_.end() ? 1 << 30 : it->second;
  }

  // A group of the main tree that may take `atom` (any group for a sound).
  CSoundGroup* HostFor(CAudioAtom* atom) {
    std::vector<CSoundGroup*> hosts{root_};
    int limit = RankOf(atom);
    for (CAudioAtom* known : known_) {
      auto* group = dynamic_cast<CSoundGroup*>(known);
      if (group != nullptr && group != atom && RankOf(group) < limit && InTree(group) &&
          group->LevelsDeep() < 6) {
        hosts.push_back(group);
      }
    }
    return hosts[Pick(static_cast<int>(hosts.size()))];
  }

  CAudioAtom* RandomKnown(bool attached) {
    std::vector<CAudioAtom*> pool;
    for (CAudioAtom* atom : known_) {
      if ((atom->Parent() != nullptr) == attached && (!attached || InTree(atom))) {
        pool.push_back(atom);
      }
    }
    return pool.empty() ? nullptr : pool[Pick(static_cast<int>(pool.size()))];
  }

  CountedSound* MakeSound() {
    static const uint32_t kRates[] = {8000, 11025, 22050, 32000, 44100, 48000};
    CountedSound* sound = NewSound(Between(0, 3000), kRates[Pick(6)], Pick(2) ? 16 : 8);
    if (Pick(3) == 0) {
      CMap* map = sound->GetSrcMap();
      map->RemoveAllSimpleEvents(kMapVolume);
      map->AddSimpleEvent(kMapVolume, 0, 0.5 + Pick(10) / 10.0);
      map->AddSimpleEvent(kMapVolume, sound->Length(0), Pick(10) / 10.0);
    }
    return sound;
  }

  void Keep(CAudioAtom* atom) {
    atom->AddReference();
    known_.push_back(atom);
  }

  void Place(CAudioAtom* atom, CSoundGroup* host) {
    ASSERT_NE(atom->Add(host, Between(-2000, 15000)), nullptr);
  }

  void AddNewSound() {
    if (known_.size() > 90) return RemoveSomething();
    CountedSound* sound = MakeSound();
    Place(sound, HostFor(sound));
    known_.push_back(sound);  // the creator's reference becomes ours
  }

  void AddNewGroup() {
    auto* group = new CountedGroup();
    rank_[group] = next_rank_++;
    for (int i = Pick(3) + 1; i > 0; --i) {
      CountedSound* sound = MakeSound();
      Keep(sound);
      Place(sound, group);
      CAudioAtom* creator = sound;
      DeleteAtom(&creator);
    }
    CMap* map = group->GetSrcMap();
    map->SetDefaultMap(group->Length(0), kMapAll);
    map->MultiplySimpleEvents(kMapVolume, 0.25 + Pick(8) / 4.0);
    map->AddSimpleEvent(kMapPan, group->Length(0) / 2, Pick(3) - 1.0);
    Place(group, HostFor(group));
    known_.push_back(group);
  }

  void MoveSomething() {
    if (CAudioAtom* atom = RandomKnown(true)) {
      ASSERT_NE(atom->Move(Between(-3000, 20000)), nullptr);
    }
  }

  void RemoveSomething() {
    if (CAudioAtom* atom = RandomKnown(true)) atom->Remove();
  }

  void ReAddSomething() {
    if (CAudioAtom* atom = RandomKnown(false)) Place(atom, HostFor(atom));
  }

  void ScaleSomething() {
    CAudioAtom* atom = Pick(8) == 0 ? root_ : RandomKnown(true);
    if (atom == nullptr) return;
    static const double kFactors[] = {0.5, 0.8, 1.25, 2.0};
    double factor = atom->Length(0) > 100000 ? 0.5 : kFactors[Pick(4)];
    atom->Scale(factor);
  }

  void CopySomething() {
    CAudioAtom* source = RandomKnown(Pick(4) != 0);
    if (source == nullptr || known_.size() > 90) return;
    long length = source->Length(0);
    CAudioAtom* copy = nullptr;
    if (Pick(2) == 0) {
      copy = source->Copy();
    } else {
      long from = Between(0, length);
      copy = source->Copy(from, Between(from, length));
    }
    ASSERT_NE(copy, nullptr);
    if (dynamic_cast<CSoundGroup*>(copy) != nullptr) {
      rank_[copy] = next_rank_++;
      // The parts of a group copy are new atoms too.
      for (int i = 0;; ++i) {
        CAudioAtom* part = static_cast<CSoundGroup*>(copy)->GetAtom(i, nullptr);
        if (part == nullptr) break;
        NameRanks(part);
      }
    }
    Place(copy, HostFor(copy));
    known_.push_back(copy);
  }

  void NameRanks(CAudioAtom* atom) {
    auto* group = dynamic_cast<CSoundGroup*>(atom);
    if (group == nullptr) return;
    rank_[group] = next_rank_++;
    for (int i = 0; CAudioAtom* part = group->GetAtom(i, nullptr); ++i) NameRanks(part);
  }

  // Takes an atom out of the tree and lets it go, with everything below it.
  void PruneSomething() {
    CAudioAtom* atom = RandomKnown(true);
    if (atom == nullptr) return;
    atom->Remove();
    known_.erase(std::find(known_.begin(), known_.end(), atom));
    DeleteAtom(&atom);
  }

  void ForgetSomething() {
    if (known_.empty()) return;
    size_t index = static_cast<size_t>(Pick(static_cast<int>(known_.size())));
    CAudioAtom* atom = known_[index];
    known_.erase(known_.begin() + static_cast<long>(index));
    DeleteAtom(&atom);
  }

  int CountBelow(CSoundGroup* group) {
    int count = 0;
    for (int i = 0; CAudioAtom* sub = group->GetAtom(i, nullptr); ++i) {
      ++count;
      if (auto* inner = dynamic_cast<CSoundGroup*>(sub)) count += CountBelow(inner);
    }
    return count;
  }

  // Every effective map of the main tree is its source map combined with its parent's.
  std::string CheckMaps(CAudioAtom* atom) {
    if (atom != root_ || atom->CanCombine()) {
      CMap expected;
      expected.Copy(atom->GetSrcMap(), kMapAll);
      CAudioAtom* parent = atom->Parent();
      if (parent != nullptr && atom->CanCombine() && parent->CanCombine() && atom->Length(0) != 0 &&
          parent->Length(0) != 0) {
        expected.CombineMap(parent, atom->OffsetInParent(), kMapVolume);
        expected.CombineMap(parent, atom->OffsetInParent(), kMapPan);
      }
      int count = expected.NumEvents(-1);
      bool same = count == atom->NumEvents(-1);
      for (int i = 0; same && i < count; ++i) {
        long t1 = 0;
        long t2 = 0;
        double v1 = 0;
        double v2 = 0;
        const _tvol_pan_data* e1 = expected.GetEventData(i, &t1);
        const _tvol_pan_data* e2 = atom->GetEventData(i, &t2);
        CMap::GetSimpleValue(e1, &v1);
        CMap::GetSimpleValue(e2, &v2);
        same = e1->type == e2->type && t1 == t2 && v1 == v2;
      }
      if (!same) return "stale effective map at depth " + std::to_string(atom->LevelsDeep());
    }
    if (auto* group = dynamic_cast<CSoundGroup*>(atom)) {
      for (int i = 0; CAudioAtom* sub = group->GetAtom(i, nullptr); ++i) {
        std::string fault = CheckMaps(sub);
        if (!fault.empty()) return fault;
      }
    }
    return "";
  }

  std::mt19937 rng_;
  CSoundGroup* root_;
  std::vector<CAudioAtom*> known_;
  std::map<CAudioAtom*, int> rank_;
  int next_rank_ = 1;
};

class SoundGroupProperty : public ::testing::TestWithParam<unsigned> {};

TEST_P(SoundGroupProperty, RandomEditsKeepTheTreeConsistent) {
  const unsigned seed = GetParam();
  {
    TreeModel model(seed, seed % 2 == 0);
    for (int step = 0; step < 1500; ++step) {
      model.Step();
      ASSERT_FALSE(::testing::Test::HasFatalFailure()) << "seed " << seed << " step " << step;
      std::string fault = model.Check();
      ASSERT_EQ(fault, "") << "seed " << seed << " step " << step;
    }
  }
  EXPECT_EQ(g_live_atoms, 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SoundGroupProperty, ::testing::Values(1u, 2u, 7u, 12345u));

}  // namespace
