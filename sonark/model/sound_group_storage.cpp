// A group's part of the session file: its list "sgrp" with the atom record, the map, the
// count "sgdt", the information block "sgif" and one list per sub-atom.

#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/session_chunks.h>
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

// The sub-atoms of `group` as they stand now.
std::vector<CAudioAtom*> Members(CSoundGroup* group) {
  std::vector<CAudioAtom*> members;
  group->Lock();
  long offset = 0;
  for (int i = 0; CAudioAtom* member = group->GetAtom(i, &offset); ++i) members.push_back(member);
  group->Unlock();
  return members;
}

}  // namespace

int CSoundGroup::PreSave(CRIFF* riff) {
  if (riff == nullptr || !riff->WriteListChunkHeader(session::kListGroup)) return 0;
  return riff->Descend();
}

int CSoundGroup::PostSave(CRIFF* riff) { return riff != nullptr ? riff->Ascend() : 0; }

int CSoundGroup::PreLoad(CRIFF* riff) {
  if (riff == nullptr) return session::Fail(sonark::kErrInvalidAtomArgument);
  platform::clear_last_error();
  if (riff->Descend()) return 1;
  if (platform::last_error() == 0) platform::set_last_error(sonark::kErrSessionDamaged);
  return 0;
}

// The group's list may end the level it stands in (the last sub-atom of its parent, or the
// session's root): that is the end of the list, not a failure.
int CSoundGroup::PostLoad(CRIFF* riff) {
  if (riff == nullptr || !riff->Ascend()) return session::Fail(sonark::kErrSessionDamaged);
  return session::Advance(riff) >= 0 ? 1 : 0;
}

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
  if (riff == nullptr) return session::Fail(sonark::kErrInvalidAtomArgument);
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
  if (!result) return session::Fail(code != 0 ? code : sonark::kErrSessionDamaged);
  if (!closed) return session::Fail(sonark::kErrSessionDamaged);
  platform::clear_last_error();
  return 1;
}

int CSoundGroup::Load(CRIFF* riff, int a, int b, int c, int d, TLoadProgress progress,
                      void* context) {
  if (!PreLoad(riff)) return 0;
  // One level for the root's list, one more for each group below it.
  if (riff->LevelsDown() - 1 > kMaxTreeDepth) return session::Fail(sonark::kErrTreeTooDeep);
  // A subclass may keep chunks of its own ahead of the atom record.
  if (!riff->SeekToChunk(session::kChunkAtom, 0, 1)) {
    return session::Fail(sonark::kErrSessionDamaged);
  }
  if (!CAudioAtom::Load(riff, a, b, c, d, progress, context)) return 0;

  if (!riff->SeekToChunk(session::kChunkCount, 0, 1)) {
    return session::Fail(sonark::kErrSessionDamaged);
  }
  unsigned char countBytes[session::kCountBytes];
  if (!session::ReadRecord(riff, session::kChunkCount, countBytes, session::kCountBytes)) {
    return 0;
  }
  const int32_t count = static_cast<int32_t>(
      static_cast<uint32_t>(countBytes[0]) | static_cast<uint32_t>(countBytes[1]) << 8 |
      static_cast<uint32_t>(countBytes[2]) << 16 | static_cast<uint32_t>(countBytes[3]) << 24);
  if (count < 0) return session::Fail(sonark::kErrSessionDamaged);
  last_saved_num_atoms_ = count;
  int moved = session::Advance(riff);
  if (moved < 0) return 0;

  double dataSize = 0.0;
  _chunkInfo level{};
  _subChunk sub{};
  riff->GetCurrentChunkInfo(&level, &sub);
  if (moved == 1 && sub.id == session::kChunkGroupInfo) {
    auto block = std::make_unique<unsigned char[]>(session::kGroupInfoBytes);
    if (!session::ReadRecord(riff, session::kChunkGroupInfo, block.get(),
                             session::kGroupInfoBytes)) {
      return 0;
    }
    session::GroupInfoRecord info;
    session::UnpackGroupInfo(block.get(), &info);
    {
      std::lock_guard<std::recursive_mutex> guard(lock_);
      std::memcpy(comments_, info.comments, sizeof comments_);
      std::memcpy(creation_time_, info.creationTime, sizeof creation_time_);
    }
    if (info.mark == session::kGroupInfoMark && std::isfinite(info.dataSize) &&
        info.dataSize >= 0.0) {
      dataSize = info.dataSize;
    }
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
    return session::Fail(code != 0 ? code : sonark::kErrSessionDamaged);
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

int CSoundGroup::LoadSubAtom(CRIFF* riff, unsigned long listType, int a, int b, int c, int d,
                             TLoadProgress progress, void* context) {
  CAudioAtom* atom = nullptr;
  if (listType == session::kListSound) {
    atom = new (std::nothrow) CPCMSound();
  } else if (listType == session::kListGroup) {
    atom = new (std::nothrow) CSoundGroup();
  } else {
    return session::Fail(sonark::kErrSessionUnknownList);
  }
  if (atom == nullptr) return session::Fail(sonark::kErrOutOfMemory);
  return LoadNewSubAtom(atom, riff, a, b, c, d, progress, context);
}

int CSoundGroup::LoadNewSubAtom(CAudioAtom* atom, CRIFF* riff, int a, int b, int c, int d,
                                TLoadProgress progress, void* context) {
  if (atom == nullptr || riff == nullptr) {
    DeleteAtom(&atom);
    return session::Fail(sonark::kErrInvalidAtomArgument);
  }
  if (!atom->Load(riff, a, b, c, d, progress, context)) {
    const uint32_t code = platform::last_error();
    DeleteAtom(&atom);
    // A sound whose file cannot be loaded is left out; ErrorLoadingFile has said why.
    if (code == sonark::kErrSoundNotLoaded) {
      platform::clear_last_error();
      return 1;
    }
    return session::Fail(code != 0 ? code : sonark::kErrSessionDamaged);
  }
  CAudioAtom* placed = atom->Add(this, atom->AbsoluteOffset() - AbsoluteOffset());
  const uint32_t code = platform::last_error();
  DeleteAtom(&atom);
  if (placed == nullptr) return session::Fail(code != 0 ? code : sonark::kErrSessionDamaged);
  platform::clear_last_error();
  return 1;
}

double CSoundGroup::GetSavedSize(CRIFF* riff) {
  if (riff == nullptr || riff->GetRefObj() == nullptr) {
    session::Fail(sonark::kErrInvalidAtomArgument);
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
