#include <gtest/gtest.h>
#include <sonark/engine/engine.h>
#include <sonark/model/loaded_sounds.h>
#include <sonark/model/pcm_sound.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <tarnell/tests/temp_dir.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// A sound on the file `path` (or on memory), released and unregistered at the end.
class Sound {
 public:
  explicit Sound(const std::string& path) : sound_(new CPCMSound) {
    auto* file = new CFileObj;
    EXPECT_EQ(file->Open(path.c_str(), 0, 0), 1) << path;
    Attach(file);
  }
  Sound() : sound_(new CPCMSound) {
    auto* memory = new CMemObj;
    memory->Create();
    Attach(memory);
  }
  Sound(const Sound&) = delete;
  Sound& operator=(const Sound&) = delete;
  ~Sound() {
    RemoveTheSound(sound_);
    CAudioAtom* atom = sound_;
    DeleteAtom(&atom);
  }
  CPCMSound* get() const { return sound_; }

 private:
  void Attach(CRefObj* object) {
    sound_->SetRefObj(object);
    DeleteRefObject(&object);
  }
  CPCMSound* sound_;
};

std::vector<CPCMSound*> Items(CMyArrayList* list) {
  std::vector<CPCMSound*> items;
  if (list == nullptr) return items;
  for (int i = 0; i < list->Count(); ++i) items.push_back(static_cast<CPCMSound*>(list->Index(i)));
  delete list;
  return items;
}

class LoadedSoundsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    SonarkStopEngine();
    ASSERT_EQ(SonarkStartEngine(), 1);
    for (const char* name : {"song.wav", "Song.wav", "other.wav"}) {
      std::ofstream(dir_.File(name)) << name;
    }
  }
  TempDir dir_;
};

TEST_F(LoadedSoundsTest, SoundsOnOneFileFindEachOther) {
  std::string path = dir_.File("song.wav");
  Sound first(path), second(path), other(dir_.File("other.wav")), upper(dir_.File("Song.wav"));
  Sound memory;
  EXPECT_EQ(SoundExists(path.c_str()), nullptr);
  for (const Sound* s : {&memory, &first, &other, &second, &upper}) AddTheSound(s->get());
  AddTheSound(first.get());  // registering again changes nothing

  EXPECT_EQ(SoundExists(path.c_str()), first.get());
  EXPECT_EQ(SoundExists(dir_.File("Song.wav").c_str()), upper.get());
  EXPECT_EQ(SoundExists(dir_.File("SONG.WAV").c_str()), nullptr);
  EXPECT_EQ(Items(GetDuplicateList(first.get())), std::vector<CPCMSound*>{second.get()});
  EXPECT_EQ(Items(GetDuplicateList(second.get())), std::vector<CPCMSound*>{first.get()});
  EXPECT_EQ(GetDuplicateList(other.get()), nullptr);
  EXPECT_EQ(GetDuplicateList(upper.get()), nullptr);
  EXPECT_EQ(GetDuplicateList(memory.get()), nullptr);

  // An unregistered sound on the same file still sees the registered ones.
  Sound third(path);
  EXPECT_EQ(Items(GetDuplicateList(third.get())),
            (std::vector<CPCMSound*>{first.get(), second.get()}));

  RemoveTheSound(first.get());
  EXPECT_EQ(SoundExists(path.c_str()), second.get());
  EXPECT_EQ(GetDuplicateList(second.get()), nullptr);
  RemoveTheSound(second.get());
  EXPECT_EQ(SoundExists(path.c_str()), nullptr);
}

TEST_F(LoadedSoundsTest, NoRegistryWhileTheEngineIsStopped) {
  std::string path = dir_.File("song.wav");
  Sound first(path), second(path);
  AddTheSound(first.get());
  SonarkStopEngine();
  EXPECT_EQ(SoundExists(path.c_str()), nullptr);
  AddTheSound(second.get());
  EXPECT_EQ(GetDuplicateList(first.get()), nullptr);
  RemoveTheSound(first.get());
  // A restarted engine starts with an empty registry.
  ASSERT_EQ(SonarkStartEngine(), 1);
  EXPECT_EQ(SoundExists(path.c_str()), nullptr);
}

TEST_F(LoadedSoundsTest, RegisteringFromTwoThreads) {
  std::string path = dir_.File("song.wav");
  std::vector<std::unique_ptr<Sound>> sounds;
  for (int i = 0; i < 8; ++i) sounds.push_back(std::make_unique<Sound>(path));
  Sound anchor(path);
  AddTheSound(anchor.get());
  auto churn = [&](int from) {
    for (int round = 0; round < 200; ++round) {
      for (int i = from; i < from + 4; ++i) AddTheSound(sounds[i]->get());
      delete GetDuplicateList(anchor.get());
      EXPECT_EQ(SoundExists(path.c_str()), anchor.get());
      for (int i = from; i < from + 4; ++i) RemoveTheSound(sounds[i]->get());
    }
  };
  std::thread loader(churn, 0);
  churn(4);
  loader.join();
  EXPECT_EQ(GetDuplicateList(anchor.get()), nullptr);
}

TEST_F(LoadedSoundsTest, AHeldSoundOutlivesItsOwnerWhileAnotherThreadDropsIt) {
  const std::string path = dir_.File("song.wav");
  auto* owned = new CPCMSound;
  auto* file = new CFileObj;
  ASSERT_EQ(file->Open(path.c_str(), 0, 0), 1);
  CRefObj* object = file;
  owned->SetRefObj(object);
  DeleteRefObject(&object);
  AddTheSound(owned);

  CPCMSound* held = HoldLoadedSound(path.c_str());
  ASSERT_EQ(held, owned);
  EXPECT_EQ(held->ReferenceCount(), 2);
  CAudioAtom* owner = owned;
  DeleteAtom(&owner);  // the owner lets go: the holder's reference keeps it
  EXPECT_EQ(SoundExists(path.c_str()), held);
  EXPECT_EQ(held->GetRefObj()->Type(), 1);
  CAudioAtom* last = held;
  DeleteAtom(&last);  // the last reference: destroyed and out of the registry
  EXPECT_EQ(SoundExists(path.c_str()), nullptr);
  EXPECT_EQ(HoldLoadedSound(path.c_str()), nullptr);

  // Sounds come and go on one thread while another holds and reads them; the sanitizer
  // builds see any use of a destroyed sound.
  std::atomic<bool> done{false};
  std::thread churn([&] {
    for (int round = 0; round < 300; ++round) {
      auto* sound = new CPCMSound;
      auto* data = new CFileObj;
      data->Open(path.c_str(), 0, 0);
      CRefObj* held_data = data;
      sound->SetRefObj(held_data);
      DeleteRefObject(&held_data);
      AddTheSound(sound);
      CAudioAtom* atom = sound;
      DeleteAtom(&atom);
    }
    done = true;
  });
  while (!done) {
    if (CPCMSound* sound = HoldLoadedSound(path.c_str())) {
      EXPECT_EQ(sound->GetRefObj()->Type(), 1);
      CAudioAtom* atom = sound;
      DeleteAtom(&atom);
    }
  }
  churn.join();
  EXPECT_EQ(SoundExists(path.c_str()), nullptr);
}

}  // namespace
