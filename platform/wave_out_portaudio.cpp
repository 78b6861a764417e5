#include <platform/wave_out_backend.h>

namespace platform::wave_out_detail {

// Real devices come next; until then the default backend is `null`.
bool PortAudioAvailable() { return false; }
uint32_t PortAudioDeviceCount() { return 0; }
int PortAudioDescribe(uint32_t, WaveOutDeviceInfo*) { return kWaveBadDevice; }
std::unique_ptr<WaveOut> OpenPortAudioDevice(uint32_t, const AudioChoice&, const tWAVEFORMATEX&,
                                             int* result, std::string*) {
  *result = kWaveBadDevice;
  return nullptr;
}

}  // namespace platform::wave_out_detail
