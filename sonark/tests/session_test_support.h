#pragma once

#include "pcm_test_support.h"

#include <platform/last_error.h>
#include <platform/wave_format.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Sessions in temporary folders: wave files to refer to, atom kinds that log what loading
// asks of them, and a reader that lists the chunks of a saved file.
namespace session_test {

using Bytes = std::vector<unsigned char>;

inline uint32_t Get32(const Bytes& bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

inline void Put32(Bytes& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

constexpr size_t kWaveHeaderBytes = 44;

inline tWAVEFORMATEX Pcm(uint32_t rate, uint16_t bits, uint16_t channels) {
  return PcmFormat(rate, channels, bits);
}

// A canonical wave file (44-byte header) of 16-bit stereo frames whose samples count up.
inline bool WriteWave(const std::string& path, long frames, uint32_t rate = 8000) {
  const tWAVEFORMATEX f = Pcm(rate, 16, 2);
  const uint32_t dataBytes = static_cast<uint32_t>(frames) * f.nBlockAlign;
  Bytes out(kWaveHeaderBytes + dataBytes, 0);
  std::memcpy(out.data(), "RIFF", 4);
  Put32(out, 4, 36 + dataBytes);
  std::memcpy(out.data() + 8, "WAVEfmt ", 8);
  Put32(out, 16, 16);
  std::memcpy(out.data() + 20, &f, 16);
  std::memcpy(out.data() + 36, "data", 4);
  Put32(out, 40, dataBytes);
  for (long i = 0; i < frames * 2; ++i) {
    out[kWaveHeaderBytes + 2 * i] = static_cast<unsigned char>(i / 2);
    out[kWaveHeaderBytes + 2 * i + 1] = static_cast<unsigned char>((i / 2) >> 8);
  }
  return WriteFile(path, out);
}

// Sets `sound` up over a wave file written by WriteWave, as a load would.
inline int SetUpFromWave(CPCMSound* sound, CRefObj* file) {
  const long size = file->Size();
  if (size < static_cast<long>(kWaveHeaderBytes)) return 0;
  tWAVEFORMATEX format{};
  file->Seek(20, 0);
  if (file->Read(reinterpret_cast<char*>(&format), 16) != 16) return 0;
  if (!file->SetDataOffsets(kWaveHeaderBytes, static_cast<unsigned long>(size))) return 0;
  return sound->SetUpFromPCM(file, &format, 2000);
}

// A sound over the wave file at `path`; null when it cannot be opened.
template <class Kind = CPCMSound, class... Args>
Kind* SoundOf(const std::string& path, Args... args) {
  auto* file = new CFileObj();
  CRefObj* held = file;
  Kind* sound = nullptr;
  if (file->Open(path.c_str(), 0, 0)) {
    sound = new Kind(args...);
    if (!SetUpFromWave(sound, file)) {
      CAudioAtom* atom = sound;
      DeleteAtom(&atom);
      sound = nullptr;
    }
  }
  DeleteRefObject(&held);
  return sound;
}

// Adds `atom` and hands the creator's reference to the group.
inline void Place(CAudioAtom* atom, CAudioAtom* group, long offset) {
  atom->Add(group, offset);
  DeleteAtom(&atom);
}

// What loading asked of the logging kinds below.
struct LoadLog {
  std::vector<std::string> opened;    // sources of initial loads (file path or "<memory>")
  std::vector<std::string> missing;   // paths given to FindMissingFile
  std::vector<unsigned long> errors;  // codes given to ErrorLoadingFile
  std::string proposal;               // what FindMissingFile answers ("" for nothing)
};

// A sound whose initial load reads the files WriteWave writes (and wave files built in
// memory the same way), and that logs every hook.
class LoggingSound : public CPCMSound {
 public:
  explicit LoggingSound(LoadLog* log) : log_(log) {}
  int InitialLoad(CRefObj* source, long, int, int, int, int, int, TLoadProgress progress,
                  void* context) override {
    char path[CFileObj::kPathCapacity] = "<memory>";
    if (auto* file = dynamic_cast<CFileObj*>(source)) file->GetFilePath(path, sizeof path);
    log_->opened.push_back(path);
    if (progress != nullptr) progress(0, context);
    const long start = source->Tell();
    Bytes header(kWaveHeaderBytes);
    if (source->Read(reinterpret_cast<char*>(header.data()), kWaveHeaderBytes) !=
            static_cast<long>(kWaveHeaderBytes) ||
        std::memcmp(header.data(), "RIFF", 4) != 0) {
      platform::set_last_error(0x20000102);
      return 0;
    }
    // A wave built by the session reader has an 18-byte format chunk.
    const uint32_t formatBytes = Get32(header, 16);
    const long dataStart = start + 20 + static_cast<long>(formatBytes) + 8;
    tWAVEFORMATEX format{};
    source->Seek(start + 20, 0);
    source->Read(reinterpret_cast<char*>(&format), 16);
    const long virtualStart = GetVirtualDataStart();
    if (!source->SetDataOffsets(static_cast<unsigned long>(dataStart),
                                static_cast<unsigned long>(source->Size())) ||
        !SetUpFromPCM(source, &format, 2000)) {
      return 0;
    }
    SetVirtualDataStart(virtualStart);
    return 1;
  }
  char* FindMissingFile(char* path) override {
    log_->missing.push_back(path);
    return log_->proposal.data();
  }
  void ErrorLoadingFile(unsigned long code) override { log_->errors.push_back(code); }

 private:
  LoadLog* log_;
};

class LoggingGroup : public CSoundGroup {
 public:
  explicit LoggingGroup(LoadLog* log) : log_(log) {}
  int LoadSubAtom(CRIFF* riff, unsigned long type, int a, int b, int c, int d,
                  TLoadProgress progress, void* context) override {
    if (type == tarnell::FourCC("sndc")) {
      return LoadNewSubAtom(new LoggingSound(log_), riff, a, b, c, d, progress, context);
    }
    if (type == tarnell::FourCC("sgrp")) {
      return LoadNewSubAtom(new LoggingGroup(log_), riff, a, b, c, d, progress, context);
    }
    return CSoundGroup::LoadSubAtom(riff, type, a, b, c, d, progress, context);
  }

 private:
  LoadLog* log_;
};

// Saves `root` as a session at `path` (a file) or, with an empty path, in memory.
inline int SaveSession(CAudioAtom* root, const std::string& path, Bytes* out = nullptr,
                       int byReference = 1) {
  CRefObj* object = nullptr;
  if (path.empty()) {
    auto* memory = new CMemObj();
    memory->Create();
    object = memory;
  } else {
    auto* file = new CFileObj();
    file->Create(path.c_str());
    object = file;
  }
  int result = 0;
  uint32_t code = 0;
  {
    CRIFF riff;
    if (riff.Create(object, tarnell::FourCC("sess"))) result = root->Save(&riff, byReference);
    code = platform::last_error();
  }
  if (out != nullptr) {
    out->assign(static_cast<size_t>(object->Size()), 0);
    object->Seek(0, 0);
    object->Read(reinterpret_cast<char*>(out->data()), static_cast<long>(out->size()));
  }
  DeleteRefObject(&object);
  platform::set_last_error(code);
  return result;
}

// Opens a session file and loads it into `root`, as the program does.
inline int LoadSessionFile(CAudioAtom* root, const std::string& path) {
  auto* file = new CFileObj();
  CRefObj* held = file;
  int result = 0;
  if (file->Open(path.c_str(), 0, 0)) {
    CRIFF riff;
    if (riff.Open(file, nullptr)) result = root->Load(&riff, 1, 1, 0, 10, nullptr, nullptr);
  }
  DeleteRefObject(&held);
  return result;
}

inline int LoadSessionBytes(CAudioAtom* root, const Bytes& bytes) {
  auto* memory = new CMemObj();
  CRefObj* held = memory;
  int result = 0;
  if (memory->Open(const_cast<unsigned char*>(bytes.data()),
                   static_cast<unsigned long>(bytes.size()))) {
    CRIFF riff;
    if (riff.Open(memory, nullptr)) result = root->Load(&riff, 1, 1, 0, 10, nullptr, nullptr);
  }
  DeleteRefObject(&held);
  return result;
}

// The chunk tree of a RIFF file as text: "RIFF:sess{LIST:sgrp{atom(584) ...}}".
inline std::string Outline(const Bytes& bytes, size_t from, size_t to) {
  std::string out;
  for (size_t at = from; at + 8 <= to;) {
    const std::string id(reinterpret_cast<const char*>(bytes.data() + at), 4);
    const uint32_t size = Get32(bytes, at + 4);
    if (!out.empty()) out += ' ';
    if ((id == "RIFF" || id == "LIST") && size >= 4 && at + 12 <= to) {
      out += id + ":" + std::string(reinterpret_cast<const char*>(bytes.data() + at + 8), 4) + "{" +
             Outline(bytes, at + 12, at + 8 + size) + "}";
    } else {
      out += id + "(" + std::to_string(size) + ")";
    }
    at += 8 + static_cast<size_t>(size);
  }
  return out;
}

inline std::string Outline(const Bytes& bytes) { return Outline(bytes, 0, bytes.size()); }

// The offset of the `n`-th chunk with this id (depth first), or std::string::npos.
inline size_t FindChunk(const Bytes& bytes, const char* id, int n = 0) {
  for (size_t at = 0; at + 4 <= bytes.size(); ++at) {
    if (std::memcmp(bytes.data() + at, id, 4) == 0 && n-- == 0) return at;
  }
  return std::string::npos;
}

}  // namespace session_test
