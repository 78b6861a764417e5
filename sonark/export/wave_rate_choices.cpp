#include <sonark/export/conv_file_format.h>
#include <sonark/export/wave_rate_choices.h>
#include <sonark/strings.h>

#include <iterator>

namespace {

constexpr const char* kRateKeys[] = {"IDS_44100HZ", "IDS_22050HZ", "IDS_11025HZ"};
static_assert(std::size(kRateKeys) == std::size(kWaveSampleRates));

}  // namespace

SONARK_API void LoadStringsWaveSampleRates(CChoiceList* list, char* text, long size) {
  if (list == nullptr) return;
  char own[64];
  if (text == nullptr || size <= 0) {
    text = own;
    size = sizeof(own);
  }
  for (const char* key : kRateKeys) {
    SonarkLoadString(key, text, size);
    list->AddItem(text);
  }
}

SONARK_API void SetWaveSampleRateValue(CChoiceList* list, CConv2FileFormat* format) {
  if (list == nullptr || format == nullptr) return;
  int selected = CChoiceList::kNoSelection;
  for (int i = 0; i < static_cast<int>(std::size(kWaveSampleRates)); ++i) {
    if (kWaveSampleRates[i] == format->nSamplesPerSec) selected = i;
  }
  list->SetSelectedIndex(selected);
}

SONARK_API void GetWaveSampleRateValue(CChoiceList* list, CConv2FileFormat* format) {
  if (list == nullptr || format == nullptr) return;
  const int selected = list->SelectedIndex();
  const bool listed = selected >= 0 && selected < static_cast<int>(std::size(kWaveSampleRates));
  format->nSamplesPerSec = static_cast<uint32_t>(listed ? kWaveSampleRates[selected] : 44100);
  format->CalcBlockAlignNAvgBytesPerSec();
}
