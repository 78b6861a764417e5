#include <platform/byte_order.h>
#include <sonark/load/wave_chunks.h>
#include <sonark/load/wave_info.h>
#include <sonark/strings.h>
#include <strings.h>
#include <tarnell/ref_obj.h>
#include <tarnell/riff.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// A leading number of at most `digits` digits, or -1 when the text does not start with one.
long LeadingNumber(const char*& text, int digits) {
  while (*text == ' ') ++text;
  long value = 0;
  int count = 0;
  while (std::isdigit(static_cast<unsigned char>(*text)) && count < digits) {
    value = value * 10 + (*text - '0');
    ++text;
    ++count;
  }
  // A longer number is no track or year of ours.
  if (count == 0 || std::isdigit(static_cast<unsigned char>(*text))) return -1;
  return value;
}

std::string Trimmed(const char* text) {
  std::string s(text);
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// The genre index whose name is `name` (letter case ignored), or -1. A name matches the
// strings file's text for the genre or the English name its key spells.
int GenreIndexOf(const std::string& name) {
  if (name.empty()) return -1;
  for (int index = 0; index < sonark::kId3GenreCount; ++index) {
    const char* key = sonark::Id3GenreKey(index);
    std::string english(key + 4);
    std::replace(english.begin(), english.end(), '_', ' ');
    if (strcasecmp(english.c_str(), name.c_str()) == 0) return index;
    char text[257];
    if (SonarkLoadString(key, text, sizeof(text)) && strcasecmp(text, name.c_str()) == 0) {
      return index;
    }
  }
  return -1;
}

}  // namespace

namespace sonark {

SONARK_API long YearFromText(const char* text) {
  if (text == nullptr) return 0;
  const long year = LeadingNumber(text, 4);
  return year >= 1000 && year <= 3000 ? year : 0;
}

SONARK_API void SetTrackFromText(TMusicInfo* info, const char* text) {
  if (info == nullptr || text == nullptr) return;
  auto valid = [](long value) { return value >= 1 && value <= 99 ? static_cast<int>(value) : -1; };
  const char* cursor = text;
  info->track = valid(LeadingNumber(cursor, 9));
  info->totalTracks = -1;
  if (*cursor == '/') {
    ++cursor;
    info->totalTracks = valid(LeadingNumber(cursor, 9));
  }
}

SONARK_API void SetGenreFromText(TMusicInfo* info, const char* text) {
  if (info == nullptr || text == nullptr) return;
  const std::string trimmed = Trimmed(text);
  if (trimmed.size() >= 3 && trimmed[0] == '(') {
    const char* cursor = trimmed.c_str() + 1;
    const long index = LeadingNumber(cursor, 9);
    if (index >= 0 && index < TMusicInfo::kNoGenre && *cursor == ')') {
      info->genreIndex = static_cast<int>(index);
      SetMusicInfoText(info->genre, text);
      return;
    }
  }
  const int index = GenreIndexOf(trimmed);
  if (index >= 0) {
    info->genreIndex = index;
    char number[16];
    std::snprintf(number, sizeof(number), "(%d)", index);
    SetMusicInfoText(info->genre, number);
    return;
  }
  SetMusicInfoText(info->genre, text);
}

}  // namespace sonark

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
