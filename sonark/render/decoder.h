#pragma once

#include <platform/wave_format.h>
#include <sonark/visibility.h>

// What the sample-format helpers ask of a decoder of compressed audio. The codec-manager
// decoder derives from it and the MPEG decoder from that one, so a block size or the kind of
// decoder can be asked without knowing which one a sound holds.
class SONARK_API CDecoder {
 public:
  CDecoder() = default;
  CDecoder(const CDecoder&) = default;
  CDecoder& operator=(const CDecoder&) = default;
  virtual ~CDecoder() = default;

  // 1 for a decoder of the system's codec manager, 0 for the MPEG audio decoder.
  virtual int IsACM() = 0;
  // The size in bytes of one indivisible unit of compressed source data in `format`.
  virtual long BlockSize(const tWAVEFORMATEX* format) = 0;
};
