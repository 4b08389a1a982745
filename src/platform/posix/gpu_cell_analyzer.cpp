// No Direct3D here: the CPU analysis is the only one.
#include "platform/gpu_cell_analyzer.h"

namespace vyo::platform {

std::unique_ptr<GpuCellAnalyzer> GpuCellAnalyzer::Create(uint32_t) { return nullptr; }

}  // namespace vyo::platform
