#include <platform/byte_order.h>
#include <sonark/load/wave_chunks.h>
#include <sonark/load/wave_info.h>
#include <tarnell/ref_obj.h>
#include <tarnell/riff.h>

#include <algorithm>
#include <cstring>

namespace {

using tarnell::FourCC;

// Reads up to `capacity` bytes of the current chunk's data; returns the bytes that came.
long ReadChunkBytes(CRefObj* object, const sonark::wave::ChunkWalker& chunk, char* out,
                    long capacity) {
  const long wanted = std::min(static_cast<long>(chunk.Size()), capacity);
  if (wanted <= 0 || !object->Seek(chunk.DataOffset(), 0)) return 0;
  const long got = object->Read(out, wanted);
  return got > 0 ? got : 0;
}

// The chunk's text up to its first NUL or its end, cut to the field.
void ReadText(CRefObj* object, const sonark::wave::ChunkWalker& chunk,
              char (&field)[TMusicInfo::kTextSize]) {
  char text[TMusicInfo::kTextSize] = {};
  ReadChunkBytes(object, chunk, text, TMusicInfo::kTextSize - 1);
  sonark::SetMusicInfoText(field, text);
}

}  // namespace

SONARK_API int ReadWaveMusicInfo(CRIFF* riff, TMusicInfo* info) {
  if (riff == nullptr || info == nullptr || riff->GetRefObj() == nullptr) return 0;
  CRefObj* object = riff->GetRefObj();
  while (riff->LevelsDown() > 0) {
    if (!riff->Ascend()) return 0;
  }

  sonark::wave::ChunkWalker form(*riff);
  bool entered = false;
  for (int more = form.First(); more && !entered; more = form.Next()) {
    if (form.Id() != FourCC("LIST") || form.Size() < 4) continue;
    char type[4];
    if (ReadChunkBytes(object, form, type, 4) == 4 && std::memcmp(type, "INFO", 4) == 0 &&
        riff->Descend()) {
      entered = true;
    }
  }
  if (!entered) return 0;

  int found = 0;
  sonark::wave::ChunkWalker item(*riff);
  for (int more = item.First(); more; more = item.Next()) {
    const uint32_t id = item.Id();
    char text[TMusicInfo::kTextSize] = {};
    if (id == FourCC("INAM")) {
      ReadText(object, item, info->title);
    } else if (id == FourCC("IART")) {
      ReadText(object, item, info->artist);
    } else if (id == FourCC("IALB")) {
      ReadText(object, item, info->album);
    } else if (id == FourCC("IPRD")) {
      // Other writers (ffmpeg among them) keep the album as the "product".
      if (info->album[0] == '\0') ReadText(object, item, info->album);
    } else if (id == FourCC("ICMT")) {
      ReadText(object, item, info->comment);
    } else if (id == FourCC("ICOP")) {
      ReadText(object, item, info->copyright);
    } else if (id == FourCC("IENG")) {
      ReadText(object, item, info->encoder);
    } else if (id == FourCC("ICRD")) {
      ReadChunkBytes(object, item, text, sizeof(text) - 1);
      info->year = sonark::YearFromText(text);
    } else if (id == FourCC("IGNR")) {
      ReadChunkBytes(object, item, text, sizeof(text) - 1);
      sonark::SetGenreFromText(info, text);
    } else if (id == FourCC("ITRK")) {
      ReadChunkBytes(object, item, text, sizeof(text) - 1);
      sonark::SetTrackFromText(info, text);
    } else if (id == FourCC("IPRT")) {
      // The track as ffmpeg writes it ("part"); "ITRK" takes precedence.
      if (info->track == -1) {
        ReadChunkBytes(object, item, text, sizeof(text) - 1);
        sonark::SetTrackFromText(info, text);
      }
    } else if (id == FourCC("IMCD")) {
      unsigned char block[4 + TMusicInfo::kCdIdentifierSize] = {};
      const long got = ReadChunkBytes(object, item, reinterpret_cast<char*>(block), sizeof(block));
      if (got >= 4) {
        const unsigned long claimed = platform::GetLe32(block);
        const long length = static_cast<long>(std::min<unsigned long>(claimed, got - 4));
        std::memcpy(info->cdIdentifier, block + 4, static_cast<size_t>(length));
        info->cdIdentifierLength = length;
      }
    } else {
      continue;
    }
    info->tagType = ttWaveInfo;
    found = 1;
  }
  riff->Ascend();
  return found;
}
