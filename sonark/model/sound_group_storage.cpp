// A group's part of the session file: its list "sgrp" with the atom record, the map, the
// count "sgdt", the information block "sgif" and one list per sub-atom.

#include <platform/byte_order.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/model/atom_guard.h>
#include <sonark/model/atom_ref.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/session_chunks.h>
#include <sonark/model/session_report.h>
#include <sonark/model/sound_group.h>
#include <tarnell/errors.h>
#include <tarnell/ref_obj.h>
#include <tarnell/riff.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace session = sonark::session;

namespace {

bool IsAtomList(uint32_t type) {
  return type == session::kListGroup || type == session::kListSound;
}

// Whether a chunk from the current one to the end of the level is the list of a sub-atom;
// the cursor is put back where it was. -1 when the level cannot be walked.
int AtomListFollows(CRIFF* riff) {
  const long start = session::CurrentChunkOffset(riff);
  if (start < 0) return -1;
  int found = 0;
  for (;;) {
    _chunkInfo level{};
    _subChunk sub{};
    riff->GetCurrentChunkInfo(&level, &sub);
    uint32_t type = 0;
    if (sub.id == session::kListId && session::CurrentListType(riff, &type) && IsAtomList(type)) {
      found = 1;
      break;
    }
    int moved = session::Advance(riff);
    if (moved < 0) return -1;
    if (moved == 0) break;
  }
  if (!riff->SeekToChunkAtOffset(start)) return -1;
  return found;
}

// One past the last byte of the current sub-chunk, as its header declares; -1 when the cursor
// cannot tell.
long CurrentChunkEnd(CRIFF* riff) {
  const long offset = session::CurrentChunkOffset(riff);
  if (offset < 0) return -1;
  _subChunk sub{};
  riff->GetCurrentChunkInfo(nullptr, &sub);
  return offset + 8 + static_cast<long>(sub.size);
}

const char* KindOf(uint32_t type) {
  return type == session::kListSound ? "sound" : type == session::kListGroup ? "group" : "";
}

// The stored name of the atom whose list starts at `offset` of the current level, as far as
// its record can be read; the cursor is left on that list.
std::string StoredAtomName(CRIFF* riff, long offset) {
  std::string name;
  if (!riff->SeekToChunkAtOffset(offset) || !riff->Descend()) return name;
  if (riff->SeekToChunk(session::kChunkAtom, 0, 1)) {
    char bytes[8 + sizeof(_infoStruct)] = {};
    const long got = riff->ReadCurrentSubChunk(bytes, sizeof bytes);
    if (got > 8) name.assign(bytes + 8, strnlen(bytes + 8, static_cast<size_t>(got - 8)));
  }
  riff->Ascend();
  return name;
}

// Notes a group in the report's path for as long as it loads.
class GroupInReport {
 public:
  GroupInReport(sonark::SessionLoadScope* scope, const char* name) : scope_(scope) {
    scope_->EnterGroup(name);
  }
  ~GroupInReport() { scope_->LeaveGroup(); }
  GroupInReport(const GroupInReport&) = delete;
  GroupInReport& operator=(const GroupInReport&) = delete;

 private:
  sonark::SessionLoadScope* scope_;
};

// The sub-atoms of `group` as they stand now.
std::vector<CAudioAtom*> Members(CSoundGroup* group) {
  std::vector<CAudioAtom*> members;
  sonark::AtomGuard guard(*group);
  long offset = 0;
  for (int i = 0; CAudioAtom* member = group->GetAtom(i, &offset); ++i) members.push_back(member);
  return members;
}

}  // namespace

int CSoundGroup::ReadGroupInfo(CRIFF* riff, double* dataSize) {
  auto block = std::make_unique<unsigned char[]>(session::kGroupInfoBytes);
  if (!session::ReadRecord(riff, session::kChunkGroupInfo, block.get(),
                           session::kGroupInfoBytes)) {
    return 0;
  }
  session::GroupInfoRecord info;
  session::UnpackGroupInfo(block.get(), &info);
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::memcpy(comments_, info.comments, sizeof comments_);
  std::memcpy(creation_time_, info.creationTime, sizeof creation_time_);
  if (info.mark == session::kGroupInfoMark && std::isfinite(info.dataSize) &&
      info.dataSize >= 0.0) {
    *dataSize = info.dataSize;
  }
  return 1;
}

int CSoundGroup::PreSave(CRIFF* riff) { return session::BeginListSave(riff, session::kListGroup); }

int CSoundGroup::PostSave(CRIFF* riff) { return session::EndListSave(riff); }

int CSoundGroup::PreLoad(CRIFF* riff) { return session::BeginListLoad(riff); }

int CSoundGroup::PostLoad(CRIFF* riff) { return session::EndListLoad(riff); }

unsigned long CSoundGroup::SaveSize(int byReference) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  unsigned long total = CAudioAtom::SaveSize(byReference) + session::kCountBytes;
  for (int i = 0; i < sub_atoms_.Count(); ++i) {
    auto* sub = static_cast<CAudioAtom*>(sub_atoms_.Index(i));
    if (sub->Type() & kAtomTypeMembers) total += sub->SaveSize(byReference);
  }
  return total;
}

int CSoundGroup::Save(CRIFF* riff, int byReference) {
  if (riff == nullptr) return sonark::Fail(sonark::kErrInvalidAtomArgument);
  // The list must not change while it is written: the count has to match the lists.
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!PreSave(riff)) {
    if (platform::last_error() == 0) platform::set_last_error(sonark::kErrSessionDamaged);
    return 0;
  }
  if (!CAudioAtom::Save(riff, byReference)) return 0;

  const int count = NumAtoms(kAtomTypeMembers, 0);
  last_saved_num_atoms_ = count;
  unsigned char countBytes[session::kCountBytes];
  for (int i = 0; i < 4; ++i) countBytes[i] = static_cast<unsigned char>(count >> (8 * i));
  if (!riff->WriteSubChunk(session::kChunkCount, countBytes, session::kCountBytes)) return 0;

  session::GroupInfoRecord info;
  std::memcpy(info.comments, comments_, sizeof info.comments);
  std::memcpy(info.creationTime, creation_time_, sizeof info.creationTime);
  info.mark = session::kGroupInfoMark;
  info.dataSize = DataSizeOfSubGroups();
  last_saved_data_size_ = info.dataSize;
  auto block = std::make_unique<unsigned char[]>(session::kGroupInfoBytes);
  session::PackGroupInfo(info, block.get());
  if (!riff->WriteSubChunk(session::kChunkGroupInfo, block.get(), session::kGroupInfoBytes)) {
    return 0;
  }

  int result = 1;
  uint32_t code = 0;
  for (int i = 0; i < sub_atoms_.Count() && result; ++i) {
    auto* sub = static_cast<CAudioAtom*>(sub_atoms_.Index(i));
    // Only the kinds the count counts get a list, so that the two always agree.
    if ((sub->Type() & kAtomTypeMembers) == 0) continue;
    if (!sub->Save(riff, byReference)) {
      result = 0;
      code = platform::last_error();
    }
  }
  // The list is closed even after a failure, so the file stays well formed.
  int closed = PostSave(riff);
  if (!result) return sonark::Fail(code != 0 ? code : sonark::kErrSessionDamaged);
  if (!closed) return sonark::Fail(sonark::kErrSessionDamaged);
  platform::clear_last_error();
  return 1;
}

int CSoundGroup::Load(CRIFF* riff, int a, int b, int c, int d, TLoadProgress progress,
                      void* context) {
  sonark::SessionLoadScope* scope = sonark::SessionLoadScope::Current();
  const long listEnd = riff != nullptr ? CurrentChunkEnd(riff) : -1;
  const int levels = riff != nullptr ? riff->LevelsDown() : 0;
  if (!PreLoad(riff)) return 0;
  // One level for the root's list, one more for each group below it.
  if (riff->LevelsDown() - 1 > kMaxTreeDepth) return sonark::Fail(sonark::kErrTreeTooDeep);
  // A subclass may keep chunks of its own ahead of the atom record.
  if (!riff->SeekToChunk(session::kChunkAtom, 0, 1)) {
    return sonark::Fail(sonark::kErrSessionDamaged);
  }
  if (!CAudioAtom::Load(riff, a, b, c, d, progress, context)) return 0;
  if (scope != nullptr) {
    // A list that runs past the end of the file was cut short: its tail is gone.
    const bool cut = listEnd < 0 || listEnd > riff->GetRefObj()->Size();
    return LoadSalvaging(riff, scope, cut, levels, a, b, c, d, progress, context);
  }

  if (!riff->SeekToChunk(session::kChunkCount, 0, 1)) {
    return sonark::Fail(sonark::kErrSessionDamaged);
  }
  unsigned char countBytes[session::kCountBytes];
  if (!session::ReadRecord(riff, session::kChunkCount, countBytes, session::kCountBytes)) {
    return 0;
  }
  const int32_t count = platform::GetLeSigned32(countBytes);
  if (count < 0) return sonark::Fail(sonark::kErrSessionDamaged);
  last_saved_num_atoms_ = count;
  int moved = session::Advance(riff);
  if (moved < 0) return 0;

  double dataSize = 0.0;
  _chunkInfo level{};
  _subChunk sub{};
  riff->GetCurrentChunkInfo(&level, &sub);
  if (moved == 1 && sub.id == session::kChunkGroupInfo) {
    if (!ReadGroupInfo(riff, &dataSize)) return 0;
    moved = session::Advance(riff);
    if (moved < 0) return 0;
  }
  last_saved_data_size_ = dataSize;

  // From here on a failure takes out again the sub-atoms this load added: a damaged session
  // never stays in the group half loaded.
  const std::vector<CAudioAtom*> before = Members(this);
  auto fail = [&](uint32_t code) {
    if (code == 0) code = platform::last_error();
    for (CAudioAtom* member : Members(this)) {
      if (std::find(before.begin(), before.end(), member) == before.end()) member->Remove();
    }
    return sonark::Fail(code != 0 ? code : sonark::kErrSessionDamaged);
  };

  for (int32_t i = 0; i < count; ++i) {
    // Fewer lists than the count says: sub-atoms went missing.
    if (moved == 0) return fail(sonark::kErrSessionDamaged);
    uint32_t type = 0;
    if (!session::CurrentListType(riff, &type)) return fail(0);
    const long here = session::CurrentChunkOffset(riff);
    if (LoadSubAtom(riff, type, a, b, c, d, progress, context)) {
      moved = session::CurrentChunkOffset(riff) != here ? 1 : 0;
      continue;
    }
    if (IsAtomList(type)) return fail(0);
    // A kind this group does not know stays unread in the file.
    moved = session::Advance(riff);
    if (moved < 0) return fail(0);
  }
  // More sub-atom lists than the count says would be left out without a word.
  if (moved == 1 && AtomListFollows(riff) != 0) return fail(sonark::kErrSessionDamaged);
  if (!PostLoad(riff)) return fail(0);
  platform::clear_last_error();
  return 1;
}

// The rest of Load for a caller that takes a report: every sub-atom list that can be read is
// loaded, and what cannot be read is left out and listed. Only a cancel or a lack of memory
// fails the group (taking out what it added).
int CSoundGroup::LoadSalvaging(CRIFF* riff, sonark::SessionLoadScope* scope, bool cut, int levels,
                               int a, int b, int c, int d, TLoadProgress progress, void* context) {
  GroupInReport noted(scope, GetInfo()->name);
  auto skip = [&](int record, const char* kind, const std::string& name, uint32_t code,
                  const std::string& detail) {
    scope->Skip(record, kind, name.c_str(), code, detail);
  };
  const long afterMap = session::CurrentChunkOffset(riff);

  int32_t count = -1;
  int moved = 1;
  unsigned char countBytes[session::kCountBytes];
  if (riff->SeekToChunk(session::kChunkCount, 0, 1) &&
      session::ReadRecord(riff, session::kChunkCount, countBytes, session::kCountBytes)) {
    count = static_cast<int32_t>(platform::GetLe32(countBytes));
    if (count < 0) {
      skip(0, "", "", sonark::kErrSessionDamaged, "its count of items is damaged");
      count = -1;
    }
    moved = session::Advance(riff);
  } else if (afterMap < 0 || !riff->SeekToChunkAtOffset(afterMap)) {
    moved = -1;
  } else if (!cut) {
    // Without its count the lists that follow are still the group's items.
    skip(0, "", "", sonark::kErrSessionDamaged, "its count of items is missing or damaged");
  }
  last_saved_num_atoms_ = count >= 0 ? count : 0;

  double dataSize = 0.0;
  _subChunk sub{};
  riff->GetCurrentChunkInfo(nullptr, &sub);
  if (moved == 1 && sub.id == session::kChunkGroupInfo) {
    if (!ReadGroupInfo(riff, &dataSize) && !cut) {
      skip(0, "", "", sonark::kErrSessionDamaged, "its comments and creation time are damaged");
    }
    moved = session::Advance(riff);
  }
  last_saved_data_size_ = dataSize;

  const std::vector<CAudioAtom*> before = Members(this);
  int item = 0;
  while (moved == 1) {
    riff->GetCurrentChunkInfo(nullptr, &sub);
    // A subclass's own chunks close the list (lists of other kinds among them once the count
    // is reached); anything else before an item is passed over.
    const bool counted = count >= 0 && item >= count;
    if ((sub.id != session::kListId || counted) && AtomListFollows(riff) != 1) break;
    if (sub.id != session::kListId) {
      moved = session::Advance(riff);
      continue;
    }
    scope->SetItem(++item);
    const long here = session::CurrentChunkOffset(riff);
    const long end = CurrentChunkEnd(riff);
    uint32_t type = 0;
    const bool typed = session::CurrentListType(riff, &type) != 0;
    if (typed && LoadSubAtom(riff, type, a, b, c, d, progress, context)) {
      // An item whose list ended the level, or was followed by a damaged chunk, leaves the
      // cursor on it.
      moved = session::CurrentChunkOffset(riff) != here ? 1 : session::Advance(riff);
      continue;
    }
    const uint32_t code = typed ? platform::last_error() : sonark::kErrSessionDamaged;
    if (code == sonark::kErrLoadCancelled || code == sonark::kErrOutOfMemory) {
      for (CAudioAtom* member : Members(this)) {
        if (std::find(before.begin(), before.end(), member) == before.end()) member->Remove();
      }
      return sonark::Fail(code);
    }
    // Back at this group's level, on the list that failed.
    while (riff->LevelsDown() > levels + 1 && riff->Ascend()) {
    }
    const bool unknown =
        typed && !IsAtomList(type) && (code == 0 || code == sonark::kErrSessionUnknownList);
    if (!unknown) {
      const std::string name = typed ? StoredAtomName(riff, here) : std::string();
      const bool fileEnds = end < 0 || end > riff->GetRefObj()->Size();
      skip(item, KindOf(type), name, code != 0 ? code : sonark::kErrSessionDamaged,
           fileEnds && !scope->FileEndReported() ? "the file ends inside it" : "");
      if (fileEnds) scope->SetFileEndReported();
    }
    moved = riff->SeekToChunkAtOffset(here) ? session::Advance(riff) : -1;
  }

  if (cut) {
    if (!scope->FileEndReported()) {
      std::string detail = "the file ends inside it, after " + std::to_string(item) + " item(s)";
      if (count >= 0) detail += " of " + std::to_string(count);
      skip(0, "", "", sonark::kErrSessionDamaged, detail);
      scope->SetFileEndReported();
    }
  } else if (moved < 0) {
    skip(0, "", "", sonark::kErrSessionDamaged,
         "the rest of its list cannot be read, after item " + std::to_string(item));
  } else if (count >= 0 && count != item) {
    skip(0, "", "", sonark::kErrSessionDamaged,
         "it says it holds " + std::to_string(count) + " item(s); " + std::to_string(item) +
             " were found");
  }

  if (moved >= 0 && PostLoad(riff)) {
    platform::clear_last_error();
    return 1;
  }
  // The group's closing chunks are lost or damaged: what it holds stays, and the cursor goes
  // back to its list, from where the group around it goes on if it can.
  if (!cut && moved >= 0) {
    skip(0, "", "", sonark::kErrSessionDamaged, "the end of its list is damaged");
  }
  while (riff->LevelsDown() > levels && riff->Ascend()) {
  }
  platform::clear_last_error();
  return 1;
}

int CSoundGroup::LoadSubAtom(CRIFF* riff, unsigned long listType, int a, int b, int c, int d,
                             TLoadProgress progress, void* context) {
  CAudioAtom* atom = nullptr;
  if (listType == session::kListSound) {
    atom = new (std::nothrow) CPCMSound();
  } else if (listType == session::kListGroup) {
    atom = new (std::nothrow) CSoundGroup();
  } else {
    return sonark::Fail(sonark::kErrSessionUnknownList);
  }
  if (atom == nullptr) return sonark::Fail(sonark::kErrOutOfMemory);
  return LoadNewSubAtom(atom, riff, a, b, c, d, progress, context);
}

int CSoundGroup::LoadNewSubAtom(CAudioAtom* fresh, CRIFF* riff, int a, int b, int c, int d,
                                TLoadProgress progress, void* context) {
  AtomRef<> atom(fresh);  // the new atom's own reference; the group takes one of its own
  if (atom == nullptr || riff == nullptr) return sonark::Fail(sonark::kErrInvalidAtomArgument);
  if (!atom->Load(riff, a, b, c, d, progress, context)) {
    const uint32_t code = platform::last_error();
    atom.reset();
    // A sound whose file cannot be loaded is left out; ErrorLoadingFile has said why.
    if (code == sonark::kErrSoundNotLoaded) {
      platform::clear_last_error();
      return 1;
    }
    return sonark::Fail(code != 0 ? code : sonark::kErrSessionDamaged);
  }
  CAudioAtom* placed = atom->Add(this, atom->AbsoluteOffset() - AbsoluteOffset());
  const uint32_t code = platform::last_error();
  atom.reset();
  if (placed == nullptr) return sonark::Fail(code != 0 ? code : sonark::kErrSessionDamaged);
  platform::clear_last_error();
  return 1;
}

double CSoundGroup::GetSavedSize(CRIFF* riff) {
  if (riff == nullptr || riff->GetRefObj() == nullptr) {
    sonark::Fail(sonark::kErrInvalidAtomArgument);
    return 0.0;
  }
  CRefObj* object = riff->GetRefObj();
  const long position = object->Tell();
  double size = 0.0;
  uint32_t code = sonark::kErrSessionDamaged;
  if (riff->Descend()) {
    // Files of older versions have no information block: they hold no figure, which is not
    // a fault.
    if (!riff->SeekToChunk(session::kChunkGroupInfo, 0, 0)) {
      if (platform::last_error() == tarnell::kErrNoSuchChunk || platform::last_error() == 0) {
        code = 0;
      }
    } else {
      auto block = std::make_unique<unsigned char[]>(session::kGroupInfoBytes);
      if (session::ReadRecord(riff, session::kChunkGroupInfo, block.get(),
                              session::kGroupInfoBytes)) {
        session::GroupInfoRecord info;
        session::UnpackGroupInfo(block.get(), &info);
        code = 0;
        if (info.mark == session::kGroupInfoMark && std::isfinite(info.dataSize) &&
            info.dataSize >= 0.0) {
          size = info.dataSize;
        }
      }
    }
    riff->Ascend();
  }
  object->Seek(position, 0);
  if (code != 0) {
    platform::set_last_error(code);
  } else {
    platform::clear_last_error();
  }
  return size;
}

int CSoundGroup::LastSavedNumAtoms() { return last_saved_num_atoms_; }

double CSoundGroup::LastSavedDataSize() { return last_saved_data_size_; }
