#include <sonark/load/id3_tag_v2.h>
#include <sonark/load/id3_text.h>
#include <sonark/load/music_info.h>
#include <stdlib.h>
#include <tarnell/file_obj.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

// The input is the start of an MPEG file. Reading its ID3v2 tag must never crash, read
// outside a buffer or give texts that are not UTF-8. The information read is then written
// back into the file; the tag written must read again without a fault and say the same.

namespace {

const std::string& Path() {
  static const std::string path = [] {
    char pattern[] = "/tmp/id3v2-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    return std::string(made) + "/in.mp3";
  }();
  return path;
}

bool ValidUtf8(const char* text) {
  const size_t length = std::strlen(text);
  return sonark::text::SanitizeUtf8(text, length) == std::string(text, length);
}

void CheckTexts(const TMusicInfo& info) {
  for (const char* text : {info.title, info.artist, info.album, info.genre, info.comment,
                           info.encoder, info.copyright}) {
    if (!ValidUtf8(text)) std::abort();
  }
}

// Opens the file; the returned holder drops the reference.
struct File {
  explicit File(int write) {
    if (!object->Open(Path().c_str(), 0, write)) std::abort();
  }
  ~File() {
    CRefObj* held = object;
    DeleteRefObject(&held);
  }
  CFileObj* object = new CFileObj;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::ofstream out(Path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  auto info = std::make_unique<TMusicInfo>();
  {
    File file(1);
    CId3TagV2 tag;
    tag.Read(file.object, 0);
    tag.GetMusicInfo(info.get());
    CheckTexts(*info);
    if (tag.GetBytesUsed() + 10 > tag.Size()) std::abort();
    if (!tag.UpdateFromMusicInfo(info.get())) return 0;
    if (!tag.Write(file.object)) std::abort();
  }
  File file(0);
  CId3TagV2 tag;
  if (!tag.Read(file.object, 0)) std::abort();
  auto back = std::make_unique<TMusicInfo>();
  tag.GetMusicInfo(back.get());
  CheckTexts(*back);
  if (std::strcmp(back->title, info->title) != 0 || std::strcmp(back->artist, info->artist) != 0 ||
      std::strcmp(back->album, info->album) != 0 ||
      std::strcmp(back->comment, info->comment) != 0 ||
      std::strcmp(back->encoder, info->encoder) != 0 ||
      std::strcmp(back->copyright, info->copyright) != 0 || back->year != info->year ||
      back->track != info->track || back->totalTracks != info->totalTracks ||
      back->genreIndex != info->genreIndex) {
    std::abort();
  }
  return 0;
}
