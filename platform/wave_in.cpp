#include <platform/wave_in.h>
#include <platform/wave_out_backend.h>

// The backend dispatch and the header bookkeeping are those of output (wave_out.cpp).
namespace platform {

using namespace wave_out_detail;

uint32_t WaveInDeviceCount() { return DeviceCount<WaveIn>(); }

int WaveInDeviceDescribe(uint32_t device, WaveInDeviceInfo* info) {
  return DescribeDevice(device, info);
}

std::string WaveInBackendName() { return BackendName<WaveIn>(); }

std::unique_ptr<WaveIn> WaveIn::Open(uint32_t device, const tWAVEFORMATEX& format, int* result,
                                     std::string* why) {
  return OpenDevice<WaveIn>(device, format, result, why);
}

WaveIn::~WaveIn() = default;

int WaveIn::Prepare(WaveHeader* header) { return PrepareHeader(header); }

int WaveIn::Unprepare(WaveHeader* header) { return UnprepareHeader(header); }

}  // namespace platform
