// Synthesises the example sounds into a folder as wave files, through the engine's own wave
// writer. Everything is computed here: no recorded audio is shipped.
//
//   generate_examples OUTPUT_DIR
#include <platform/wave_format.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/load/music_info.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// The sample value of a signal at 1.0. The example session plays up to five of these sounds
// at once, and their loudest moments together reach about 1.7 times one sound's: at half of
// full scale each, the mix peaks near -2 dB and never clips.
constexpr double kLevel = 16000.0;

struct Sound {
  const char* file;
  const char* title;
  int rate;
  int channels;
  double seconds;
  // Returns the sample of channel `c` at time `t` in -1 … 1.
  std::function<double(double t, int c)> signal;
};

// A deterministic noise source, so the examples are the same on every machine.
class Noise {
 public:
  double Next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(static_cast<int32_t>(state_ >> 32)) / 2147483648.0;
  }

 private:
  uint64_t state_ = 0x2545F4914F6CDD1DULL;
};

double Envelope(double t, double attack, double release, double length) {
  if (t < attack) return t / attack;
  if (t > length - release) return std::max(0.0, (length - t) / release);
  return 1.0;
}

double Note(double frequency, double t) { return std::sin(2 * kPi * frequency * t); }

double Frequency(int midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12.0); }

bool WriteSound(const std::string& dir, const Sound& s) {
  std::string path = dir + "/" + s.file;
  tWAVEFORMATEX wave =
      PcmFormat(static_cast<uint32_t>(s.rate), static_cast<uint16_t>(s.channels), 16);
  CConv2FileFormat format(kWaveFormatPcm);
  format.nChannels = wave.nChannels;
  format.nSamplesPerSec = wave.nSamplesPerSec;
  format.wBitsPerSample = 16;
  format.CalcBlockAlignNAvgBytesPerSec();

  CConv2WaveFile* out = new CConv2WaveFile();
  bool ok = out->Create(path.c_str(), &format, &wave) != 0;
  long frames = static_cast<long>(s.seconds * s.rate);
  std::vector<int16_t> block;
  for (long start = 0; ok && start < frames; start += s.rate) {
    long count = std::min<long>(s.rate, frames - start);
    block.assign(static_cast<size_t>(count * s.channels), 0);
    for (long i = 0; i < count; ++i) {
      double t = static_cast<double>(start + i) / s.rate;
      for (int c = 0; c < s.channels; ++c) {
        double v = std::clamp(s.signal(t, c), -1.0, 1.0);
        block[static_cast<size_t>(i * s.channels + c)] = static_cast<int16_t>(v * kLevel);
      }
    }
    long written = 0;
    ok = out->WriteStreamData(block.data(), static_cast<long>(block.size() * 2), &written) >= 0 &&
         written == static_cast<long>(block.size() * 2);
  }
  ok = ok && out->EndWriteStream() >= 0;
  if (ok) {
    TMusicInfo info;
    sonark::SetMusicInfoText(info.title, s.title);
    sonark::SetMusicInfoText(info.artist, "Tessel examples");
    int info_ok = 0;
    ok = out->FinalData(nullptr, "Tessel example generator", &info_ok, &info) >= 0;
  }
  out->Close();
  CRefObj* holder = out;
  DeleteRefObject(&holder);
  if (!ok) {
    std::remove(path.c_str());
    fprintf(stderr, "generate_examples: cannot write %s\n", path.c_str());
  }
  return ok;
}

std::vector<Sound> ExampleSounds() {
  std::vector<Sound> sounds;

  // A minor pad, each side slightly detuned for width.
  sounds.push_back({"pad.wav", "Pad", 44100, 2, 8.0, [](double t, int c) {
                      double detune = c == 0 ? 0.998 : 1.002;
                      double v = 0;
                      for (int midi : {57, 60, 64, 69})
                        v += Note(Frequency(midi) * detune, t) + 0.3 * Note(2 * Frequency(midi), t);
                      return 0.12 * v * Envelope(t, 1.5, 2.0, 8.0);
                    }});

  // Two bars of bass at 120 beats per minute: A A C G.
  sounds.push_back({"bass.wav", "Bass", 44100, 2, 4.0, [](double t, int) {
                      static const int kLine[] = {45, 45, 48, 43};
                      int beat = static_cast<int>(t);
                      double in_note = t - beat;
                      double f = Frequency(kLine[beat % 4]);
                      double v = Note(f, t) + 0.4 * Note(2 * f, t) + 0.2 * Note(3 * f, t);
                      return 0.45 * v * std::exp(-3.0 * in_note) * std::min(1.0, in_note * 200);
                    }});

  // One bar of drums: kick on every beat, hi-hat on the off-beats.
  auto noise = std::make_shared<Noise>();
  sounds.push_back({"drums.wav", "Drums", 44100, 2, 2.0, [noise](double t, int c) {
                      double beat = std::fmod(t, 0.5);
                      double kick =
                          std::sin(2 * kPi * (50 * beat + 60 * (1 - std::exp(-30 * beat)))) *
                          std::exp(-12 * beat);
                      double off = std::fmod(t + 0.25, 0.5);
                      double hat = c == 0 ? noise->Next() : noise->Next();
                      return 0.8 * kick + 0.25 * hat * std::exp(-60 * off);
                    }});

  // A mono bell at a lower rate, to show a mix of formats.
  sounds.push_back({"bell.wav", "Bell", 22050, 1, 3.0, [](double t, int) {
                      double f = Frequency(81);
                      double v = Note(f, t) + 0.6 * Note(2.76 * f, t) * std::exp(-2 * t) +
                                 0.4 * Note(5.4 * f, t) * std::exp(-4 * t);
                      return 0.4 * v * std::exp(-1.2 * t) * std::min(1.0, t * 500);
                    }});

  // A short melody.
  sounds.push_back({"melody.wav", "Melody", 44100, 2, 4.0, [](double t, int c) {
                      static const int kNotes[] = {69, 72, 76, 74, 72, 71, 69, 64};
                      int step = std::min(7, static_cast<int>(t * 2));
                      double in_note = t * 2 - step;
                      double f = Frequency(kNotes[step]);
                      double pan = c == 0 ? 0.8 : 1.0;
                      double v = Note(f, t) + 0.25 * Note(3 * f, t);
                      return 0.3 * pan * v * std::exp(-2.5 * in_note) *
                             std::min(1.0, in_note * 100);
                    }});
  return sounds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: generate_examples OUTPUT_DIR\n");
    return 2;
  }
  for (const Sound& s : ExampleSounds())
    if (!WriteSound(argv[1], s)) return 1;
  return 0;
}
