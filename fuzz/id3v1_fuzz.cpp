#include <sonark/load/id3_tag.h>
#include <sonark/load/id3_text.h>
#include <sonark/load/music_info.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

// The input is the last 128 bytes of an MPEG file (shorter inputs are padded with zeros).
// Reading must never crash; a tag read gives valid UTF-8 texts and a genre name, and saving
// it and reading it again gives the same record.

namespace {

bool ValidUtf8(const char* text) {
  const size_t length = std::strlen(text);
  return sonark::text::SanitizeUtf8(text, length) == std::string(text, length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char block[128] = {};
  std::memcpy(block, data, size < sizeof(block) ? size : sizeof(block));
  CId3Tag tag;
  const int found = tag.loadTag(block);
  char genre[256];
  tag.genreString(genre, found);
  if (std::strlen(genre) >= sizeof(genre)) std::abort();
  if (!found) return 0;
  if (tag.getTrackNumber() < -1 || tag.getTrackNumber() > 255) std::abort();
  if (tag.getYear() != 0 && (tag.getYear() < 1000 || tag.getYear() > 3000)) std::abort();

  TMusicInfo info;
  tag.ToMusicInfo(&info);
  if (!ValidUtf8(info.title) || !ValidUtf8(info.artist) || !ValidUtf8(info.album) ||
      !ValidUtf8(info.comment) || !ValidUtf8(info.genre)) {
    std::abort();
  }

  char saved[128];
  tag.saveTag(saved);
  CId3Tag again;
  if (!again.loadTag(saved)) std::abort();
  if (std::strcmp(again.TitleString(), tag.TitleString()) != 0 ||
      std::strcmp(again.ArtistString(), tag.ArtistString()) != 0 ||
      std::strcmp(again.AlbumString(), tag.AlbumString()) != 0 ||
      again.getYear() != tag.getYear() || again.getGenreIndex() != tag.getGenreIndex()) {
    std::abort();
  }

  // Through the engine's texts and back: ISO-8859-1 survives the trip.
  CId3Tag rebuilt;
  rebuilt.FromMusicInfo(info);
  if (std::strcmp(rebuilt.TitleString(), tag.TitleString()) != 0 ||
      std::strcmp(rebuilt.AlbumString(), tag.AlbumString()) != 0) {
    std::abort();
  }
  return 0;
}
