#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/load/id3_tag_v2.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/mp3_info.h>
#include <sonark/load/music_info.h>
#include <tarnell/ref_obj.h>

#include <new>

int CInitialLoad::SetMusInfoFromMP3Info(CRefObj* source, CMP3Info* mp3) {
  if (source == nullptr || mp3 == nullptr) return 0;
  auto* info = new (std::nothrow) TMusicInfo;
  if (info == nullptr) return sonark::Fail(sonark::kErrOutOfMemory);

  // The ID3v2 tag holds the texts whole; the ID3v1 tag only their first 30 ISO-8859-1
  // characters, so it fills what the ID3v2 tag left empty.
  if (mp3->GetTagType() == ttId3V2) {
    CId3TagV2 tag;
    const uint32_t error = platform::last_error();
    const long position = source->Tell();
    // A damaged tag still gives the frames in front of the damage.
    tag.Read(source, mp3->GetTagSize());
    tag.GetMusicInfo(info);
    source->Seek(position, 0);
    platform::set_last_error(error);
  }
  if (mp3->isTagged()) {
    TMusicInfo v1;
    mp3->Tag().ToMusicInfo(&v1);
    auto fill = [](char(&field)[TMusicInfo::kTextSize], const char(&from)[TMusicInfo::kTextSize]) {
      if (field[0] == '\0') sonark::SetMusicInfoText(field, from);
    };
    fill(info->title, v1.title);
    fill(info->artist, v1.artist);
    fill(info->album, v1.album);
    fill(info->comment, v1.comment);
    if (info->genreIndex == TMusicInfo::kNoGenre && info->genre[0] == '\0') {
      info->genreIndex = v1.genreIndex;
      sonark::SetMusicInfoText(info->genre, v1.genre);
    }
    if (info->track == -1) info->track = v1.track;
    if (info->year == 0) info->year = v1.year;
  }

  info->tagSize = mp3->GetTagSize();
  info->tagType = mp3->GetTagType();
  info->isPrivate = mp3->Private();
  info->original = mp3->Original();
  info->copyrighted = mp3->Copyrighted() || info->copyright[0] != '\0' ? 1 : 0;
  delete music_info_;
  music_info_ = info;
  return 1;
}
