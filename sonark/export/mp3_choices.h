#pragma once

#include <sonark/export/choice_list.h>
#include <sonark/export/mp3_encoders.h>
#include <sonark/visibility.h>

class CConv2FileFormat;
class CConv2MP3;

// A slider (track bar) of whole positions: what the engine needs of one in a dialog.
class SONARK_API CSliderControl {
 public:
  virtual ~CSliderControl() = default;
  virtual void SetRange(int low, int high) = 0;
  virtual void SetPosition(int position) = 0;
  virtual int Position() = 0;
};

// A one-line text field (an edit or a label).
class SONARK_API CTextField {
 public:
  virtual ~CTextField() = default;
  virtual void SetText(const char* text) = 0;
  // Copies at most size - 1 characters and a terminator into `out`.
  virtual void GetText(char* out, int size) = 0;
  // The most characters the user may type; 0 for no limit.
  virtual void SetLengthLimit(int characters) = 0;
};

// Fill and read the controls of the MP3 settings from a format record. The lists depend on the
// encoder (`converter`) where its abilities decide what is offered; the Set and Get functions
// of such a list take the same converter as its Load function. Null controls or records are
// ignored.

// ID3 tag types, listed as ID3v1 and ID3v2, ID3v1 only, none (values 2, 1, 0).
SONARK_API void LoadStringsMP3TagTypes(CChoiceList* list);
SONARK_API void SetMP3TagTypeValue(CChoiceList* list, CConv2FileFormat* format);
SONARK_API void GetMP3TagTypeValue(CChoiceList* list, CConv2FileFormat* format);

// Modes: stereo, joint stereo and dual channel where the encoder has them, mono. A mode the
// encoder lacks shows as stereo; the channels follow the mode read.
SONARK_API void LoadStringsMP3Modes(CChoiceList* list, CConv2MP3* converter);
SONARK_API void SetMP3ModeValue(CChoiceList* list, CConv2MP3* converter, CConv2FileFormat* format);
SONARK_API void GetMP3ModeValue(CChoiceList* list, CConv2MP3* converter, CConv2FileFormat* format);

// The average bit rate field: 3 digits, kept strictly between minimum and maximum bit rate
// (at or below the minimum it becomes minimum + 1, at or above the maximum, maximum - 1).
// Sets the limit and shows the format's value.
SONARK_API void InitMP3ABREdit(CTextField* field, CConv2FileFormat* format);
SONARK_API void SetMP3ABREditValue(CTextField* field, CConv2FileFormat* format);
// Takes the typed value into the format, kept in range, and shows the value kept.
SONARK_API void GetMP3ABREditValue(CTextField* field, CConv2FileFormat* format);

// The VBR quality slider runs 0 to 9 with the best quality at the right: position 9 - quality.
SONARK_API void InitMP3VBRQualitySlider(CSliderControl* slider, CConv2FileFormat* format);
SONARK_API void GetMP3VBRQualityValue(CSliderControl* slider, CConv2FileFormat* format);
SONARK_API void SetMP3VBRQualityString(CTextField* label, CConv2FileFormat* format);

// Bit-rate lists: the table of the format's MPEG version, highest rate first. Setting a rate
// that is not in the table selects its most natural rate, the nearest end beyond the table.
SONARK_API void LoadStringsMP3Bitrates(CChoiceList* list, CConv2FileFormat* format);
SONARK_API void SetMP3BitrateValue(CChoiceList* list, CConv2FileFormat* format);
SONARK_API void GetMP3BitrateValue(CChoiceList* list, CConv2FileFormat* format);
SONARK_API void LoadStringsMP3MinBitrates(CChoiceList* list, CConv2FileFormat* format);
SONARK_API void SetMP3MinBitrateValue(CChoiceList* list, CConv2FileFormat* format);
// Raising the minimum to or above the maximum moves the maximum to the next higher rate (the
// minimum to the one below the top when it is the top), shown in `maxList`, and refreshes the
// ABR field; either may be null.
SONARK_API void GetMP3MinBitrateValue(CChoiceList* list, CConv2FileFormat* format,
                                      CChoiceList* maxList = nullptr,
                                      CTextField* abrField = nullptr);
SONARK_API void LoadStringsMP3MaxBitrates(CChoiceList* list, CConv2FileFormat* format);
SONARK_API void SetMP3MaxBitrateValue(CChoiceList* list, CConv2FileFormat* format);
// Lowering the maximum to or below the minimum moves the minimum to the next lower rate, in
// the same way.
SONARK_API void GetMP3MaxBitrateValue(CChoiceList* list, CConv2FileFormat* format,
                                      CChoiceList* minList = nullptr,
                                      CTextField* abrField = nullptr);

// MPEG versions the encoder supports: MPEG-1, MPEG-2, MPEG-2.5.
SONARK_API void LoadStringsMP3Versions(CChoiceList* list, CConv2MP3* converter);
SONARK_API void SetMP3VersionValue(CChoiceList* list, CConv2MP3* converter,
                                   CConv2FileFormat* format);
SONARK_API void GetMP3VersionValue(CChoiceList* list, CConv2MP3* converter,
                                   CConv2FileFormat* format);

// The long description of the settings with the flags that are on.
SONARK_API void SetMP3UserSettingsString(CTextField* label, CConv2MP3* converter,
                                         CConv2FileFormat* format);

// Told the preset the slider was moved to when InitMP3PresetSlider could not show the
// format's own preset (the dialog reacts as to the user moving it).
using MP3PresetChangedCallback = void (*)(void* context, long preset);

// The preset slider offers, in table order, the presets whose MPEG version the encoder
// supports; preset 0 counts as the default preset. A preset that is not offered puts the slider
// at its last position when it lies above every offered preset, else at its first, and
// `changed` (may be null) is told.
SONARK_API void InitMP3PresetSlider(CSliderControl* slider, CConv2MP3* converter,
                                    CConv2FileFormat* format,
                                    MP3PresetChangedCallback changed = nullptr,
                                    void* context = nullptr);
// The preset at the slider's position; the default preset when nothing is offered.
SONARK_API long GetMP3PresetValue(CSliderControl* slider, CConv2MP3* converter);
// The preset's name in the pattern of "IDS_PRESET_FORMAT".
SONARK_API void SetMP3PresetString(CTextField* label, long preset);

// The encoders in table order, each with its version or "not available", then "none".
SONARK_API void LoadStringsMP3Encoders(CChoiceList* list);
SONARK_API void SetMP3EncoderValue(CChoiceList* list, _tMP3EncoderDllTypedef encoder);
// The selected encoder; medNotAssigned without a selection.
SONARK_API _tMP3EncoderDllTypedef GetMP3EncoderValue(CChoiceList* list);
