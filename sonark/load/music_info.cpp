#include <sonark/load/music_info.h>
#include <sonark/strings.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// In genre-index order; each name is looked up in the engine's strings file.
constexpr const char* kGenreKeys[sonark::kId3GenreCount] = {
    "ID3_Blues",
    "ID3_Classic_Rock",
    "ID3_Country",
    "ID3_Dance",
    "ID3_Disco",
    "ID3_Funk",
    "ID3_Grunge",
    "ID3_Hip-Hop",
    "ID3_Jazz",
    "ID3_Metal",
    "ID3_New_Age",
    "ID3_Oldies",
    "ID3_Other",
    "ID3_Pop",
    "ID3_R&B",
    "ID3_Rap",
    "ID3_Reggae",
    "ID3_Rock",
    "ID3_Techno",
    "ID3_Industrial",
    "ID3_Alternative",
    "ID3_Ska",
    "ID3_Death_Metal",
    "ID3_Pranks",
    "ID3_Soundtrack",
    "ID3_Euro-Techno",
    "ID3_Ambient",
    "ID3_Trip-Hop",
    "ID3_Vocal",
    "ID3_Jazz+Funk",
    "ID3_Fusion",
    "ID3_Trance",
    "ID3_Classical",
    "ID3_Instrumental",
    "ID3_Acid",
    "ID3_House",
    "ID3_Game",
    "ID3_Sound_Clip",
    "ID3_Gospel",
    "ID3_Noise",
    "ID3_AlternRock",
    "ID3_Bass",
    "ID3_Soul",
    "ID3_Punk",
    "ID3_Space",
    "ID3_Meditative",
    "ID3_Instrumental_Pop",
    "ID3_Instrumental_Rock",
    "ID3_Ethnic",
    "ID3_Gothic",
    "ID3_Darkwave",
    "ID3_Techno-Industrial",
    "ID3_Electronic",
    "ID3_Pop-Folk",
    "ID3_Eurodance",
    "ID3_Dream",
    "ID3_Southern_Rock",
    "ID3_Comedy",
    "ID3_Cult",
    "ID3_Gangsta",
    "ID3_Top_40",
    "ID3_Christian_Rap",
    "ID3_Pop/Funk",
    "ID3_Jungle",
    "ID3_Native_American",
    "ID3_Cabaret",
    "ID3_New_Wave",
    "ID3_Psychadelic",
    "ID3_Rave",
    "ID3_Showtunes",
    "ID3_Trailer",
    "ID3_Lo-Fi",
    "ID3_Tribal",
    "ID3_Acid_Punk",
    "ID3_Acid_Jazz",
    "ID3_Polka",
    "ID3_Retro",
    "ID3_Musical",
    "ID3_Rock_&_Roll",
    "ID3_Hard_Rock",
    "ID3_Folk",
    "ID3_Folk-Rock",
    "ID3_National_Folk",
    "ID3_Swing",
    "ID3_Fast_Fusion",
    "ID3_Bebob",
    "ID3_Latin",
    "ID3_Revival",
    "ID3_Celtic",
    "ID3_Bluegrass",
    "ID3_Avantgarde",
    "ID3_Gothic_Rock",
    "ID3_Progressive_Rock",
    "ID3_Psychedelic_Rock",
    "ID3_Symphonic_Rock",
    "ID3_Slow_Rock",
    "ID3_Big_Band",
    "ID3_Chorus",
    "ID3_Easy_Listening",
    "ID3_Acoustic",
    "ID3_Humour",
    "ID3_Speech",
    "ID3_Chanson",
    "ID3_Opera",
    "ID3_Chamber_Music",
    "ID3_Sonata",
    "ID3_Symphony",
    "ID3_Booty_Bass",
    "ID3_Primus",
    "ID3_Porn_Groove",
    "ID3_Satire",
    "ID3_Slow_Jam",
    "ID3_Club",
    "ID3_Tango",
    "ID3_Samba",
    "ID3_Folklore",
    "ID3_Ballad",
    "ID3_Power_Ballad",
    "ID3_Rhythmic_Soul",
    "ID3_Freestyle",
    "ID3_Duet",
    "ID3_Punk_Rock",
    "ID3_Drum_Solo",
    "ID3_Acapella",
    "ID3_Euro-House",
    "ID3_Dance_Hall",
    "ID3_Goa",
    "ID3_Drum_&_Bass",
    "ID3_Club-House",
    "ID3_Hardcore",
    "ID3_Terror",
    "ID3_Indie",
    "ID3_BritPop",
    "ID3_Negerpunk",
    "ID3_Polsk_Punk",
    "ID3_Beat",
    "ID3_Christian_Gangsta_Rap",
    "ID3_Heavy_Metal",
    "ID3_Black_Metal",
    "ID3_Crossover",
    "ID3_Contemporary_Christian",
    "ID3_Christian_Rock",
    "ID3_Merengue",
    "ID3_Salsa",
    "ID3_Thrash_Metal",
    "ID3_Anime",
    "ID3_JPop",
    "ID3_Synthpop",
};

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

// The names a genre answers to: the English name its key spells and the strings file's text.
// Read once, since the strings file does not change while the engine runs.
const std::vector<std::pair<std::string, std::string>>& GenreNames() {
  static const std::vector<std::pair<std::string, std::string>> names = [] {
    std::vector<std::pair<std::string, std::string>> out;
    for (int index = 0; index < sonark::kId3GenreCount; ++index) {
      const char* key = sonark::Id3GenreKey(index);
      std::string english(key + 4);
      std::replace(english.begin(), english.end(), '_', ' ');
      char text[257] = {};
      SonarkLoadString(key, text, sizeof(text));
      out.emplace_back(english, text);
    }
    return out;
  }();
  return names;
}

// The genre index whose name is `name` (letter case ignored), or -1.
int GenreIndexOf(const std::string& name) {
  if (name.empty()) return -1;
  const auto& names = GenreNames();
  for (int index = 0; index < static_cast<int>(names.size()); ++index) {
    if (strcasecmp(names[index].first.c_str(), name.c_str()) == 0 ||
        (!names[index].second.empty() &&
         strcasecmp(names[index].second.c_str(), name.c_str()) == 0)) {
      return index;
    }
  }
  return -1;
}

}  // namespace

namespace sonark {

SONARK_API const char* Id3GenreKey(int index) {
  if (index < 0 || index >= kId3GenreCount) return "ID3_not_supported";
  return kGenreKeys[index];
}

SONARK_API void SetMusicInfoText(char (&field)[TMusicInfo::kTextSize], const char* text) {
  if (text == nullptr) text = "";
  std::strncpy(field, text, sizeof(field) - 1);
  field[sizeof(field) - 1] = '\0';
}

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
