// Feeds random bytes to the session loader as a whole session file held in memory, through
// the root group's Load. Sounds are never read from disk: their kind refuses the initial
// load, so the target exercises the structure alone. A session that loads must save again,
// and what it saves must load to the same bytes. The same holds for what a salvaging load
// keeps of any input, and what loads whole salvages to the same tree.

#include <platform/last_error.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/session_report.h>
#include <sonark/model/sound_group.h>
#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class OfflineSound : public CPCMSound {
 public:
  int InitialLoad(CRefObj*, long, int, int, int, int, int, TLoadProgress, void*) override {
    platform::set_last_error(1);
    return 0;
  }
};

class OfflineGroup : public CSoundGroup {
 public:
  int LoadSubAtom(CRIFF* riff, unsigned long type, int a, int b, int c, int d,
                  TLoadProgress progress, void* context) override {
    if (type == tarnell::FourCC("sndc")) {
      return LoadNewSubAtom(new OfflineSound(), riff, a, b, c, d, progress, context);
    }
    if (type == tarnell::FourCC("sgrp")) {
      return LoadNewSubAtom(new OfflineGroup(), riff, a, b, c, d, progress, context);
    }
    return CSoundGroup::LoadSubAtom(riff, type, a, b, c, d, progress, context);
  }
};

int LoadSession(const std::vector<unsigned char>& bytes, CSoundGroup* root) {
  auto* object = new CMemObj();
  CRefObj* held = object;
  int result = 0;
  if (object->Open(const_cast<unsigned char*>(bytes.data()),
                   static_cast<unsigned long>(bytes.size()))) {
    CRIFF riff;
    if (riff.Open(object, nullptr)) {
      root->GetSavedSize(&riff);
      result = root->Load(&riff, 0, 0, 0, 0, nullptr, nullptr);
    }
  }
  DeleteRefObject(&held);
  return result;
}

std::vector<unsigned char> SaveSession(CSoundGroup* root) {
  auto* object = new CMemObj();
  CRefObj* held = object;
  std::vector<unsigned char> out;
  if (object->Create()) {
    CRIFF riff;
    if (riff.Create(object, tarnell::FourCC("sess")) && root->Save(&riff, 1)) {
      out.resize(static_cast<size_t>(object->Size()));
      object->Seek(0, 0);
      object->Read(reinterpret_cast<char*>(out.data()), static_cast<long>(out.size()));
    }
  }
  DeleteRefObject(&held);
  return out;
}

// The groups of the tree, counted with their nesting: "(()())".
std::string Shape(CSoundGroup* group) {
  std::string shape = "(";
  long offset = 0;
  for (int i = 0; CAudioAtom* atom = group->GetAtom(i, &offset); ++i) {
    if (auto* sub = dynamic_cast<CSoundGroup*>(atom)) shape += Shape(sub);
  }
  return shape + ")";
}

// Saved and loaded again; empty when either fails.
std::vector<unsigned char> SaveAndLoad(CSoundGroup* group, CAudioAtom** loaded) {
  std::vector<unsigned char> saved = SaveSession(group);
  *loaded = new OfflineGroup();
  if (saved.empty() || !LoadSession(saved, static_cast<CSoundGroup*>(*loaded))) saved.clear();
  return saved;
}

// Every sound was left out, so only groups remain; they must survive a round trip. Sub-atoms
// that share the first offset of their group come back in reverse order (a new item goes
// before an equal first one), so a second round trip restores the bytes.
void ExpectRoundTrip(CSoundGroup* group) {
  CAudioAtom* again = nullptr;
  CAudioAtom* third = nullptr;
  const std::vector<unsigned char> first = SaveAndLoad(group, &again);
  if (first.empty()) std::abort();
  if (SaveAndLoad(static_cast<CSoundGroup*>(again), &third).empty()) std::abort();
  if (SaveSession(static_cast<CSoundGroup*>(third)) != first) std::abort();
  DeleteAtom(&third);
  DeleteAtom(&again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> bytes(data, data + size);
  CAudioAtom* root = new OfflineGroup();
  const bool whole = LoadSession(bytes, static_cast<CSoundGroup*>(root)) != 0;
  std::string shape;
  if (whole) {
    ExpectRoundTrip(static_cast<CSoundGroup*>(root));
    shape = Shape(static_cast<CSoundGroup*>(root));
  }
  DeleteAtom(&root);

  sonark::SessionLoadReport report;
  CAudioAtom* salvaged = new OfflineGroup();
  int loaded = 0;
  {
    sonark::SessionLoadScope scope(&report);
    loaded = LoadSession(bytes, static_cast<CSoundGroup*>(salvaged));
  }
  if (whole && (!loaded || Shape(static_cast<CSoundGroup*>(salvaged)) != shape)) {
    std::abort();
  }
  if (loaded) ExpectRoundTrip(static_cast<CSoundGroup*>(salvaged));
  DeleteAtom(&salvaged);
  return 0;
}
