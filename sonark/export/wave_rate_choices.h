#pragma once

#include <sonark/visibility.h>
#include <sonark/export/choice_list.h>

class CConv2FileFormat;

// The sample rates offered for wave export, in list order.
inline constexpr unsigned long kWaveSampleRates[] = {44100, 22050, 11025};

// Adds the texts of "IDS_44100HZ", "IDS_22050HZ" and "IDS_11025HZ", in this order. `text`
// (size bytes) is the buffer the texts are loaded through; null uses one of its own.
SONARK_API void LoadStringsWaveSampleRates(CChoiceList* list, char* text, long size);
// Selects the entry of the format's rate; no selection for a rate not in the list.
SONARK_API void SetWaveSampleRateValue(CChoiceList* list, CConv2FileFormat* format);
// Sets the format's rate (and byte rate) from the selected entry; 44100 without a selection.
SONARK_API void GetWaveSampleRateValue(CChoiceList* list, CConv2FileFormat* format);
