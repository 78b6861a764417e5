#pragma once

#include <sonark/model/audio_atom.h>
#include <tarnell/riff.h>

#include <cstdint>

class CRefObj;

// The pieces of a session file that the atom classes share: chunk ids, the stored records and
// a careful cursor. Internal to the engine.
namespace sonark::session {

using tarnell::FourCC;

constexpr uint32_t kFormSession = FourCC("sess");
constexpr uint32_t kListId = FourCC("LIST");
constexpr uint32_t kListGroup = FourCC("sgrp");
constexpr uint32_t kListSound = FourCC("sndc");
constexpr uint32_t kListWave = FourCC("WAVE");
constexpr uint32_t kChunkAtom = FourCC("atom");
constexpr uint32_t kChunkMap = FourCC("smap");
constexpr uint32_t kChunkCount = FourCC("sgdt");
constexpr uint32_t kChunkGroupInfo = FourCC("sgif");
constexpr uint32_t kChunkSoundRef = FourCC("sref");
constexpr uint32_t kChunkFormat = FourCC("fmt ");
constexpr uint32_t kChunkData = FourCC("data");

constexpr long kAtomRecordBytes = 584;
constexpr long kGroupInfoBytes = 2152;
constexpr long kSoundRefBytes = 260;
constexpr long kCountBytes = 4;
constexpr long kFormatBytes = 18;

// Version marks: the atom record of this version and of the one before it (which had no
// chunk flags), and the group information block.
constexpr uint32_t kAtomMark = 0x12345679;
constexpr uint32_t kAtomMarkEarlier = 0x12345678;
constexpr uint32_t kGroupInfoMark = 0x1234567A;
// Marks the sizes of a sound's file in the atom record's spare bytes, which earlier versions
// leave zero.
constexpr uint32_t kSoundFileMark = 0x1234567B;

constexpr long kCommentBytes = 1024;
constexpr long kCreationTimeBytes = 64;

struct AtomRecord {
  int32_t length = 0;
  int32_t absoluteOffset = 0;
  _infoStruct info{};
  uint32_t mark = 0;
  int32_t virtualDataStart = 0;
  uint32_t chunkFlags = 0;
  // A sound stored by reference: the size of its file and of its sound data when it was
  // saved, so that a file replaced since can be told; -1 when not recorded.
  int64_t fileBytes = -1;
  int64_t dataBytes = -1;
};

struct GroupInfoRecord {
  char comments[kCommentBytes] = {};
  char creationTime[kCreationTimeBytes] = {};
  uint32_t mark = 0;
  double dataSize = 0.0;
};

void PackAtomRecord(const AtomRecord& record, unsigned char* out);
void UnpackAtomRecord(const unsigned char* in, AtomRecord* record);
void PackGroupInfo(const GroupInfoRecord& record, unsigned char* out);
void UnpackGroupInfo(const unsigned char* in, GroupInfoRecord* record);

// The offset of the current sub-chunk in the data object, which tells chunks apart; -1 when
// it cannot be reached.
long CurrentChunkOffset(CRIFF* riff);

// Moves to the next chunk of the level: 1 when it moved, 0 when the current chunk ends the
// level exactly, -1 (kErrSessionDamaged) when what follows is not a whole chunk.
int Advance(CRIFF* riff);

// Reads the first `bytes` of the current sub-chunk, which must be `id` and hold at least that
// much; the cursor stays on it. 0 with kErrSessionDamaged otherwise.
int ReadRecord(CRIFF* riff, uint32_t id, unsigned char* out, long bytes);

// The type of the current sub-chunk when it is a LIST; 0 with kErrSessionDamaged otherwise.
int CurrentListType(CRIFF* riff, uint32_t* type);

// The path of the file behind a data object, when it is a disk file (Type() 1): 1 and the
// path in `out` (PATH_MAX bytes), else 0.
int FilePathOf(CRefObj* object, char* out);

// The list around one atom's records, shared by sounds and groups: the save opens a list of
// `kind` and enters it, the load enters the list and leaves it again. A list that ends its
// level is the end of that level, not a failure; a salvaging load leaves a damaged chunk
// after the list to the group around it, which tells what was lost there.
int BeginListSave(CRIFF* riff, uint32_t kind);
int EndListSave(CRIFF* riff);
int BeginListLoad(CRIFF* riff);
int EndListLoad(CRIFF* riff);

}  // namespace sonark::session
