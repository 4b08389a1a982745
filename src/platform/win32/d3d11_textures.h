// The description of a plain 2D texture (one mip level, one array slice, no multisampling), the
// shape every texture the host makes has.
#pragma once
#include <d3d11.h>

#include <cstdint>

namespace vyo::platform {

inline D3D11_TEXTURE2D_DESC Texture2DDesc(uint32_t width, uint32_t height, DXGI_FORMAT format, UINT bind_flags) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = format;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = bind_flags;
  return desc;
}

}  // namespace vyo::platform
