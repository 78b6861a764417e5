#include <sonark/errors.h>
#include <sonark/load/mp3_info.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The scan gives up on a stream whose frames do not start within this many bytes.
constexpr long kScanLimit = 1638400;
constexpr int kSampledFrames = 100;
constexpr long kId3v1Size = 128;

int BestRateFor(int frequency) {
  if (frequency > 22050) return 44100;
  if (frequency > 11025) return 22050;
  return 11025;
}

bool SameStream(const CFrameHeader& a, const CFrameHeader& b) {
  return a.getVersionIndex() == b.getVersionIndex() && a.getLayerIndex() == b.getLayerIndex() &&
         a.getFrequencyIndex() == b.getFrequencyIndex();
}

}  // namespace

long CMP3Info::ReadAt(long position, char* buf, long count) {
  std::memset(buf, 0, static_cast<size_t>(count));
  if (position < 0 || position >= file_size_ || !source_->Seek(position, 0)) return 0;
  const long got = source_->Read(buf, count);
  return got < 0 ? 0 : got;
}

long CMP3Info::Scan(long start, long* stop) {
  best_bitrate_ = 0;
  best_rate_ = 1;
  best_channels_ = 1;
  best_mode_ = 3;
  varies_ = 0;
  first_differs_ = 0;
  best_after_first_ = 0;
  representative_ = -1;
  long first = -1;
  int first_bitrate = -1;
  int first_mode = -1;
  int second_bitrate = -1;
  int second_mode = -1;
  CFrameHeader first_header;
  int left = kSampledFrames;
  long p = start;
  char bytes[4];
  while (left > 0 && p <= kScanLimit && p < data_end_) {
    CFrameHeader h;
    ReadAt(p, bytes, 4);
    h.loadHeader(bytes);
    const long length = h.FrameLength();
    if (length < 4 || (first >= 0 && !SameStream(h, first_header))) {
      ++p;
      continue;
    }
    if (first < 0) {
      // Four bytes of garbage look like a header once in a few thousand positions: the first
      // frame counts only when the next one follows it (or the audio data ends with it).
      if (p + length < data_end_) {
        CFrameHeader next;
        ReadAt(p + length, bytes, 4);
        next.loadHeader(bytes);
        if (!next.isValidHeader() || !SameStream(h, next)) {
          ++p;
          continue;
        }
      } else if (p + length > data_end_) {
        ++p;
        continue;
      }
      first = p;
      representative_ = p;
      first_header = h;
      first_bitrate = h.getBitrate();
      first_mode = h.getModeIndex();
      best_bitrate_ = first_bitrate;
    } else {
      // The first frame may hold a Xing/Info tag written at a bit rate of its own, so the
      // stream varies only when the frames after it differ among themselves (or from the first
      // frame when that holds no tag, which the caller decides).
      if (second_bitrate < 0) {
        second_bitrate = h.getBitrate();
        second_mode = h.getModeIndex();
        first_differs_ = second_bitrate != first_bitrate || second_mode != first_mode;
      } else if (h.getBitrate() != second_bitrate || h.getModeIndex() != second_mode) {
        varies_ = 1;
      }
      if (h.getBitrate() > best_bitrate_) best_bitrate_ = h.getBitrate();
      if (h.getBitrate() > best_after_first_) best_after_first_ = h.getBitrate();
    }
    const int rate = BestRateFor(h.getFrequency());
    if (rate > best_rate_) {
      best_rate_ = rate;
      representative_ = p;
    }
    if (h.getModeIndex() < best_mode_) best_mode_ = h.getModeIndex();
    if (best_mode_ != 3) best_channels_ = 2;
    --left;
    p += length;
  }
  *stop = p;
  return first;
}

int CMP3Info::loadInfo(CRefObj* source) {
  tag_size_ = 0;
  tag_type_ = ttNone;
  xing_found_ = 0;
  xing_frame_ = 0;
  xing_ = CVBitRate{};
  id3_ = CId3Tag{};
  id3v1_found_ = 0;
  load_error_ = sonark::kErrMpegInspection;
  if (source == nullptr) return 2;
  source_ = source;
  const long p0 = source->Tell();
  source->Seek(0, 2);
  file_size_ = source->Tell();
  source->Seek(p0, 0);

  // An ID3v1 tag at the end bounds the audio data, so no frame is looked for inside it.
  data_end_ = file_size_;
  char tail[kId3v1Size];
  if (file_size_ - kId3v1Size >= p0 &&
      ReadAt(file_size_ - kId3v1Size, tail, kId3v1Size) == kId3v1Size && id3_.loadTag(tail)) {
    id3v1_found_ = 1;
    data_end_ -= kId3v1Size;
  }

  long start = p0;
  char id3[10];
  if (ReadAt(p0, id3, 10) == 10 && std::memcmp(id3, "ID3", 3) == 0) {
    const auto* b = reinterpret_cast<const unsigned char*>(id3);
    // Four 7-bit bytes; a version 4 tag may carry a 10-byte footer behind its frames.
    const long size = (((b[6] & 0x7FL) * 128 + (b[7] & 0x7F)) * 128 + (b[8] & 0x7F)) * 128 +
                      (b[9] & 0x7F);
    const long footer = (b[3] == 4 && (b[5] & 0x10)) ? 10 : 0;
    if (p0 + 10 + size + footer < data_end_) {
      start = p0 + 10 + size + footer;
      tag_size_ = static_cast<unsigned long>(size);
      tag_type_ = ttId3V2;
    }
  }

  long stop = start;
  long first = Scan(start, &stop);
  if (first < 0 && tag_type_ == ttId3V2) {
    // A tag whose size field is wrong hides the frames: look again with the tag ignored.
    tag_size_ = 0;
    tag_type_ = ttNone;
    first = Scan(p0, &stop);
  }
  const bool found = first >= 0;
  if (!found) {
    first = stop;
    representative_ = stop;
  }
  char bytes[4];
  ReadAt(representative_, bytes, 4);
  header_.loadHeader(bytes);
  data_start_ = first;
  if (id3v1_found_ && tag_type_ == ttNone) {
    tag_size_ = kId3v1Size;
    tag_type_ = ttId3V1;
  }
  if (!found) {
    data_start_ = data_end_;  // no audio data: nothing downstream decodes garbage as sound
    return 3;
  }

  // The Xing/Info tag sits after the side information of the first frame.
  CFrameHeader first_header;
  ReadAt(data_start_, bytes, 4);
  first_header.loadHeader(bytes);
  const long at = data_start_ + 4 + (first_header.getProtectionBit() ? 0 : 2) +
                  first_header.SideInfoSize();
  char tag[120];
  const long got = ReadAt(at, tag, sizeof tag);
  const long frame_end = data_start_ + first_header.FrameLength();
  const long usable = std::min(got, std::max(0L, frame_end - at));
  xing_found_ = xing_.loadHeader(tag, usable);
  xing_frame_ = xing_found_ ? first_header.FrameLength() : 0;
  if (first_differs_ && !xing_found_) varies_ = 1;
  if (xing_found_ && best_after_first_ > 0) best_bitrate_ = best_after_first_;
  load_error_ = 0;
  return 0;
}

int CMP3Info::getID3InfoOnly(CRefObj* source) {
  if (source == nullptr) return 0;
  source_ = source;
  source->Seek(0, 2);
  file_size_ = source->Tell();
  data_end_ = file_size_;
  char tail[kId3v1Size];
  if (file_size_ >= kId3v1Size &&
      ReadAt(file_size_ - kId3v1Size, tail, kId3v1Size) == kId3v1Size && id3_.loadTag(tail)) {
    id3v1_found_ = 1;
    tag_size_ = kId3v1Size;
    tag_type_ = ttId3V1;
    return 1;
  }
  return 0;
}

bool CMP3Info::XingCountsHold() const {
  if (!xing_found_ || xing_.getNumberOfFrames() <= 1) return false;
  // A file cut short, or with data appended, no longer holds what its header counted: its
  // counts would give a wrong bit rate and length. A header without a byte count is taken as
  // it is.
  const long bytes = xing_.getNumberOfBytes();
  if (bytes <= 0) return true;
  const long difference = std::labs(DataSize() - bytes);
  return difference <= std::max(bytes / 50, 4096L);
}

int CMP3Info::getNumberOfFrames() const {
  if (XingCountsHold()) return xing_.getNumberOfFrames();
  const float average = GetAverageFrameSize();
  return average > 0 ? static_cast<int>(static_cast<float>(DataSize()) / average) : 0;
}

float CMP3Info::GetAverageFrameSize() const {
  const int frames = XingCountsHold() ? xing_.getNumberOfFrames() : -1;
  if (frames >= 2 && AudioSize() >= frames) {
    return static_cast<float>(AudioSize()) / static_cast<float>(frames);
  }
  const int frequency = header_.getFrequency();
  if (frequency == 0) return 0;
  return static_cast<float>(header_.getBitrate()) * 1000.0f / static_cast<float>(frequency) *
         static_cast<float>(header_.SamplesPerFrame() / 8);
}

int CMP3Info::getBitrate() const {
  const int frames = XingCountsHold() ? xing_.getNumberOfFrames() : -1;
  if (frames > 1 && header_.getFrequency() > 0) {
    // Rounded: a constant 128 kbit/s stream averages 127.99... over its padded frames.
    return static_cast<int>(std::lround(static_cast<double>(header_.getFrequency()) *
                            (static_cast<double>(AudioSize()) / frames) /
                            (header_.SamplesPerFrame() / 8 * 1000.0)));
  }
  return header_.getBitrate();
}

int CMP3Info::getLengthInSeconds() const {
  const int bitrate = getBitrate();
  return bitrate > 0 ? static_cast<int>(AudioSize() * 8 / 1000 / bitrate) : 0;
}

long CMP3Info::getLengthInMs() const {
  const int frequency = header_.getFrequency();
  if (frequency == 0) return 0;
  return static_cast<long>(static_cast<long long>(getNumberOfFrames()) *
                           header_.SamplesPerFrame() * 1000 / frequency);
}

void CMP3Info::getVersion(char* text) const {
  static const char* const kLayers[4] = {"", "I", "II", "III"};
  const int layer = header_.getLayer();
  std::snprintf(text, 32, "MPEG %g Layer %s", static_cast<double>(header_.getVersion()),
                layer >= 1 && layer <= 3 ? kLayers[layer] : "");
}
