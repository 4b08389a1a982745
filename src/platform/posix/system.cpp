#include "platform/system.h"

namespace vyo::platform {
namespace {

// The CPU device: frames are copied by the CPU into textures that live in named shared memory.
class CpuDevice final : public GpuDevice {
 public:
  const char* Kind() const override { return "cpu"; }
  uint32_t FeatureLevel() const override { return 0; }
};

}  // namespace

// Linux has no apartment model: there is nothing to enter or leave.
bool InitMainThreadApartment() { return true; }
void EndMainThreadApartment() {}

std::unique_ptr<GpuDevice> GpuDevice::Create() { return std::make_unique<CpuDevice>(); }

std::unique_ptr<HostWindow> HostWindow::Create() { return nullptr; }
std::unique_ptr<HostWindow> HostWindow::CreateViewWindow(int32_t, int32_t, bool) { return nullptr; }

bool HasWindowSystem() { return false; }

}  // namespace vyo::platform
