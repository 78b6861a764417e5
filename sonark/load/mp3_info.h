#pragma once

#include <sonark/visibility.h>
#include <sonark/load/frame_header.h>
#include <sonark/load/id3_tag.h>
#include <sonark/load/music_info.h>

#include <cstdint>

class CRefObj;

// What an MPEG audio stream (layer I, II or III; MPEG-1, 2 or 2.5) holds, found without
// decoding: the first frame, up to 100 sampled frame headers, a Xing/Info header, an ID3v2
// tag in front and an ID3v1 tag at the end. Every read is bounded by the object's size.
class SONARK_API CMP3Info {
 public:
  // Inspects `source` from its current position. 0 when a stream of valid frames was found,
  // 2 for a null source, 3 when no valid frame lies in the first 1,638,400 bytes (the data
  // range is then empty; LoadError() names the failure).
  int loadInfo(CRefObj* source);
  // kErrMpegInspection after a failed loadInfo, else 0.
  uint32_t LoadError() const { return load_error_; }
  // Reads only the last 128 bytes: data end becomes the file size, less 128 when an ID3v1
  // tag ("TAG") is there, which also sets tag size 128 and tag type ID3v1. Returns whether
  // a tag was found.
  int getID3InfoOnly(CRefObj* source);

  const CFrameHeader& Header() const { return header_; }
  const CVBitRate& XingHeader() const { return xing_; }
  // 1 when a Xing or Info header was found.
  int XingFound() const { return xing_found_; }

  // kbit/s: from the Xing/Info frame count and the data size when there is one, else the
  // representative header's bit rate.
  int getBitrate() const;
  // Bytes per frame on average.
  float GetAverageFrameSize() const;
  int getNumberOfFrames() const;
  int getLengthInSeconds() const;
  // Frames times samples per frame, in milliseconds.
  long getLengthInMs() const;
  // True when a Xing header was found or the bit rate or mode varied between sampled frames.
  bool isVBitRate() const { return (xing_found_ && xing_.isVariable()) || varies_ != 0; }
  int Channels() const { return header_.getModeIndex() == 3 ? 1 : 2; }
  // "MPEG 1 Layer III"; `text` holds 32 bytes.
  void getVersion(char* text) const;
  void getMode(char* text) const { header_.getMode(text); }

  float getZeVersion() const { return header_.getVersion(); }
  int getFrequency() const { return header_.getFrequency(); }
  int getLayer() const { return header_.getLayer(); }
  int getLayerIndex() const { return header_.getLayerIndex(); }
  int Private() const { return header_.getPrivateBit(); }
  int Copyrighted() const { return header_.getCoprightBit(); }
  int Original() const { return header_.getOrginalBit(); }

  // The ID3v1 tag's fields; empty without one.
  const CId3Tag& Tag() const { return id3_; }
  const char* TitleString() const { return id3_.TitleString(); }
  const char* ArtistString() const { return id3_.ArtistString(); }
  const char* AlbumString() const { return id3_.AlbumString(); }
  int getGenreIndex() const { return id3_.getGenreIndex(); }
  int getYear() const { return id3_.getYear(); }
  int getTrackNumber() const { return id3_.getTrackNumber(); }
  void getTitle(char* text) const { id3_.getTitle(text); }
  void getArtist(char* text) const { id3_.getArtist(text); }
  void getAlbum(char* text) const { id3_.getAlbum(text); }
  void getComment(char* text) const { id3_.getComment(text); }
  void getGenre(char* text) const { id3_.genreString(text, 0); }

  int isTagged() const { return id3v1_found_; }
  _tTagTypedef GetTagType() const { return tag_type_; }
  unsigned long GetTagSize() const { return tag_size_; }
  long getFileSize() const { return file_size_; }
  long DataStart() const { return data_start_; }
  long DataEnd() const { return data_end_; }
  long DataSize() const { return data_end_ - data_start_; }

  // The PCM format to decode into: 44100, 22050 or 11025 Hz (48/32 kHz decode to 44.1 kHz,
  // 24/16 kHz to 22.05 kHz, 12/8 kHz to 11.025 kHz), channels 1 or 2, the lowest mode seen
  // and the highest bit rate seen (kbit/s).
  int BestSamplingRate() const { return best_rate_; }
  int BestMode() const { return best_mode_; }
  int BestNumChannels() const { return best_channels_; }
  int BestBitrate() const { return best_bitrate_; }

 private:
  // Scans from `start`; returns the first frame's position or -1, and the stop position.
  long Scan(long start, long* stop);
  long ReadAt(long position, char* buf, long count);
  // A Xing/Info header whose byte count matches the data found: its counts stand.
  bool XingCountsHold() const;
  // The data less the frame holding the Xing/Info tag.
  long AudioSize() const { return DataSize() - xing_frame_; }

  CFrameHeader header_;
  CVBitRate xing_;
  CId3Tag id3_;
  int xing_found_ = 0;
  long xing_frame_ = 0;  // bytes of the frame holding the tag, which is no audio frame
  int varies_ = 0;
  int first_differs_ = 0;  // the first frame's bit rate or mode is not the second's
  int best_after_first_ = 0;  // the highest bit rate behind the first frame
  int id3v1_found_ = 0;
  _tTagTypedef tag_type_ = ttNone;
  CRefObj* source_ = nullptr;  // not owned
  long file_size_ = 0;
  long data_start_ = 0;
  long data_end_ = 0;
  unsigned long tag_size_ = 0;
  int best_rate_ = 1;
  int best_mode_ = 3;
  int best_channels_ = 1;
  int best_bitrate_ = 0;
  long representative_ = -1;
  uint32_t load_error_ = 0;
};
