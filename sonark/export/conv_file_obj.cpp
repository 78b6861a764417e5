#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_file_obj.h>

#include <cstring>

CConv2FileObj::CConv2FileObj() = default;

CConv2FileObj::~CConv2FileObj() = default;

void CConv2FileObj::SetDefaultExt(const char* extension) {
  std::strncpy(default_ext_, extension != nullptr ? extension : "", kExtensionSize - 1);
  default_ext_[kExtensionSize - 1] = '\0';
}

int CConv2FileObj::Create(const char* path, CConv2FileFormat* /*format*/,
                          tWAVEFORMATEX* /*source*/) {
  return CFileObj::Create(path);
}

_tFileConversionTypedef CConv2FileObj::GetConversionType() { return conversion_type_; }

int CConv2FileObj::GetFormatType() { return format_type_; }

const char* CConv2FileObj::DefaultExt() { return default_ext_; }

long CConv2FileObj::WriteStreamData(void* /*data*/, long /*length*/, long* written) {
  if (written != nullptr) *written = 0;
  return -1;
}

long CConv2FileObj::EndWriteStream() { return -1; }

long CConv2FileObj::FinalData(const char* /*text*/, const char* /*softwareText*/, int* ok,
                              TMusicInfo* /*info*/) {
  if (ok != nullptr) *ok = 0;
  return -1;
}

void CConv2FileObj::GetFormatFromPreset(CConv2FileFormat* format, long preset, _tTagTypedef tagType,
                                        _tSoundQualityTypedef quality) {
  if (format == nullptr) return;
  if (preset == -1) {
    const sonark::ConversionTypeInfo* info = sonark::FindConversionType(GetConversionType());
    preset = info != nullptr ? info->defaultPreset : 0;
  }
  if (tagType != ttUnchanged) format->id3TagType = tagType;
  if (quality != sqUnchanged) format->SetSoundQuality(quality);
  format->preset = static_cast<int32_t>(preset);
}

void CConv2FileObj::GetTargetFormatStr(char* text, long size, CConv2FileFormat* /*format*/) {
  if (text != nullptr && size > 0) text[0] = '\0';
}

void CConv2FileObj::GetTargetFormat(CConv2FileFormat* target, CConv2FileFormat* source,
                                    tWAVEFORMATEX* wave, TMusicInfo* info,
                                    ACMObject* decoder) {
  if (target == nullptr) return;
  target->SmartCopy(static_cast<uint16_t>(GetFormatType()), source, wave, this, info, decoder);
}

long CConv2FileObj::GetDesiredBufferSize() { return -1; }

double CConv2FileObj::GetBytesToWrite(CConv2FileFormat* /*format*/, tWAVEFORMATEX* /*wave*/,
                                      double /*lengthMs*/) {
  return 0.0;
}

void CConv2FileObj::MakeMostNaturalFormatCallback(CConv2FileFormat* /*format*/,
                                                  tWAVEFORMATEX* /*wave*/, ACMObject* /*decoder*/) {
}

void CConv2FileObj::UserMaximumsCallback(CConv2FileFormat* /*format*/,
                                         CConv2FileFormat* /*maximums*/) {}

bool CConv2FileObj::ValidateFormat(CConv2FileFormat* /*format*/) { return false; }

int CConv2FileObj::WriteTag(const char* /*path*/, const char* /*encoderName*/, const char* /*text*/,
                            TMusicInfo* /*info*/, CFileObj* /*source*/) {
  return 0;
}

int CConv2FileObj::ReserveTagSpace() { return 0; }

SONARK_API void CreateDefaultTagTitleString(const char* path, char* out, long size) {
  if (out == nullptr || size <= 0) return;
  out[0] = '\0';
  if (path == nullptr) return;
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  size_t length = std::strlen(name);
  // A leading dot names a hidden file, not an extension.
  const char* dot = std::strrchr(name, '.');
  if (dot != nullptr && dot != name) length = static_cast<size_t>(dot - name);
  if (length > static_cast<size_t>(size - 1)) length = static_cast<size_t>(size - 1);
  std::memcpy(out, name, length);
  out[length] = '\0';
}
