// The hit-mask analysis as a Direct3D 11 pixel shader, compiled at run time with D3DCompile from
// d3dcompiler_47.dll.
#include "platform/gpu_cell_analyzer.h"

#include "platform/win32/d3d11_textures.h"

#include <d3d11.h>
#include <d3dcompiler.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace vyo::platform {
namespace {

template <typename T>
struct Com {
  T* p = nullptr;
  Com() = default;
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  ~Com() { Reset(); }
  void Reset() {
    if (p != nullptr) p->Release();
    p = nullptr;
  }
  T** operator&() {
    Reset();
    return &p;
  }
  T* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

// One triangle that covers the whole viewport (vertices (-1,-1), (-1,3), (3,-1); written without
// the conditional operator, which Wine's shader compiler does not take).
constexpr char kVertexShader[] =
    "float4 main(uint id : SV_VertexID) : SV_Position {\n"
    "  float2 p = float2(-1.0 + 4.0 * float(id == 2), -1.0 + 4.0 * float(id == 1));\n"
    "  return float4(p, 0, 1);\n"
    "}\n";

// The pixel shader for one cell size: every tap written out. For the texel at (col, row), each tap
// (dx, dy) loads the frame texel at (min(col*cell + dx, w - 1), min(row*cell + dy, h - 1)), keeps
// the highest alpha and adds (r + 3g + 7b + 11a) * (5dx + 13dy + 1) to a u32 sum that wraps; the
// output is the alpha and the sum's three low bytes, each over 255.
std::string CellAnalysisShaderSource(uint32_t cell) {
  const std::string c = std::to_string(cell);
  std::string s =
      "Texture2D<float4> src : register(t0);\n"
      "cbuffer AnalysisParams : register(b0) { uint2 src_size; uint cell; uint pad; };\n"
      "float4 main(float4 pos : SV_Position) : SV_Target {\n"
      "  uint2 base = uint2(pos.xy) * " + c + ";\n"
      "  uint2 last = src_size - 1;\n"
      "  float top = 0; uint sum = 0; float4 t; uint4 b;\n";
  for (uint32_t dy = 0; dy < cell; ++dy) {
    for (uint32_t dx = 0; dx < cell; ++dx) {
      s += "  t = src.Load(int3(min(base + uint2(" + std::to_string(dx) + ", " + std::to_string(dy) +
           "), last), 0)); top = max(top, t.a); b = uint4(t * 255 + 0.5); sum += (b.r + 3 * b.g + 7 * b.b + 11 * b.a) * " +
           std::to_string(5 * dx + 13 * dy + 1) + ";\n";
    }
  }
  s += "  return float4(top, float(sum & 255) / 255, float((sum >> 8) & 255) / 255, float((sum >> 16) & 255) / 255);\n}\n";
  return s;
}

pD3DCompile LoadCompiler() {
  static pD3DCompile compile = [] {
    HMODULE library = LoadLibraryExW(L"d3dcompiler_47.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return library != nullptr ? reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(GetProcAddress(library, "D3DCompile")))
                              : nullptr;
  }();
  return compile;
}

bool Compile(pD3DCompile compile, const std::string& source, const char* target, ID3DBlob** code) {
  Com<ID3DBlob> errors;
  return SUCCEEDED(compile(source.data(), source.size(), "cell_analysis", nullptr, nullptr, "main", target,
                           D3DCOMPILE_OPTIMIZATION_LEVEL3, 0, code, &errors));
}

class D3d11CellAnalyzer final : public GpuCellAnalyzer {
 public:
  explicit D3d11CellAnalyzer(uint32_t cell) : cell_(cell) {}

  bool Init() {
    const pD3DCompile compile = LoadCompiler();
    if (compile == nullptr) return false;
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0};
    if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 3,
                                 D3D11_SDK_VERSION, &device_, nullptr, &context_))) {
      return false;
    }
    Com<ID3DBlob> vs, ps;
    if (!Compile(compile, kVertexShader, "vs_4_0", &vs) ||
        !Compile(compile, CellAnalysisShaderSource(cell_), "ps_4_0", &ps) ||
        FAILED(device_->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(), nullptr, &vertex_)) ||
        FAILED(device_->CreatePixelShader(ps->GetBufferPointer(), ps->GetBufferSize(), nullptr, &pixel_))) {
      return false;
    }
    D3D11_BUFFER_DESC cb{};
    cb.ByteWidth = 16;
    cb.Usage = D3D11_USAGE_DEFAULT;
    cb.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    D3D11_RASTERIZER_DESC raster{};
    raster.FillMode = D3D11_FILL_SOLID;
    raster.CullMode = D3D11_CULL_NONE;
    raster.DepthClipEnable = TRUE;
    return SUCCEEDED(device_->CreateBuffer(&cb, nullptr, &constants_)) &&
           SUCCEEDED(device_->CreateRasterizerState(&raster, &rasterizer_));
  }

  bool Submit(const uint8_t* bgra, size_t stride, uint32_t width, uint32_t height, uint32_t cols,
              uint32_t rows) override {
    submitted_ = false;
    if (bgra == nullptr || width == 0 || height == 0 || cols == 0 || rows == 0 || !EnsureTargets(cols, rows)) return false;
    // The frame as a shader resource.
    const D3D11_TEXTURE2D_DESC desc =
        Texture2DDesc(width, height, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
    D3D11_SUBRESOURCE_DATA data{bgra, static_cast<UINT>(stride), 0};
    Com<ID3D11Texture2D> frame;
    Com<ID3D11ShaderResourceView> view;
    if (FAILED(device_->CreateTexture2D(&desc, &data, &frame)) ||
        FAILED(device_->CreateShaderResourceView(frame.p, nullptr, &view))) {
      return false;
    }
    // The view's own size bounds the taps, never the texture's padding.
    const uint32_t params[4] = {width, height, cell_, 0};
    context_->UpdateSubresource(constants_.p, 0, nullptr, params, 0, 0);
    ID3D11RenderTargetView* target = target_view_.p;
    context_->OMSetRenderTargets(1, &target, nullptr);
    context_->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFFu);
    context_->OMSetDepthStencilState(nullptr, 0);
    context_->RSSetState(rasterizer_.p);
    D3D11_VIEWPORT viewport{0, 0, static_cast<float>(cols), static_cast<float>(rows), 0, 1};
    context_->RSSetViewports(1, &viewport);
    context_->IASetInputLayout(nullptr);
    context_->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    context_->VSSetShader(vertex_.p, nullptr, 0);
    context_->PSSetShader(pixel_.p, nullptr, 0);
    ID3D11Buffer* cbuffer = constants_.p;
    context_->PSSetConstantBuffers(0, 1, &cbuffer);
    ID3D11ShaderResourceView* resource = view.p;
    context_->PSSetShaderResources(0, 1, &resource);
    context_->Draw(3, 0);
    ID3D11ShaderResourceView* none = nullptr;
    context_->PSSetShaderResources(0, 1, &none);
    context_->OMSetRenderTargets(0, nullptr, nullptr);
    context_->CopyResource(staging_.p, target_.p);
    context_->Flush();
    submitted_ = true;
    return true;
  }

  ReadResult TryRead(uint8_t* max_alpha, uint32_t* signature) override {
    if (!submitted_) return ReadResult::kFailed;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    const HRESULT hr = context_->Map(staging_.p, 0, D3D11_MAP_READ, D3D11_MAP_FLAG_DO_NOT_WAIT, &mapped);
    if (hr == DXGI_ERROR_WAS_STILL_DRAWING) return ReadResult::kBusy;
    submitted_ = false;
    if (FAILED(hr) || mapped.pData == nullptr) return ReadResult::kFailed;
    for (uint32_t r = 0; r < rows_; ++r) {
      const uint8_t* line = static_cast<const uint8_t*>(mapped.pData) + static_cast<size_t>(r) * mapped.RowPitch;
      for (uint32_t c = 0; c < cols_; ++c) {
        const uint8_t* t = line + static_cast<size_t>(c) * 4;
        const size_t i = static_cast<size_t>(r) * cols_ + c;
        max_alpha[i] = t[0];
        signature[i] = static_cast<uint32_t>(t[1]) | static_cast<uint32_t>(t[2]) << 8 | static_cast<uint32_t>(t[3]) << 16;
      }
    }
    context_->Unmap(staging_.p, 0);
    return ReadResult::kDone;
  }

 private:
  bool EnsureTargets(uint32_t cols, uint32_t rows) {
    if (target_ && cols == cols_ && rows == rows_) return true;
    target_view_.Reset();
    target_.Reset();
    staging_.Reset();
    cols_ = cols;
    rows_ = rows;
    D3D11_TEXTURE2D_DESC desc = Texture2DDesc(cols, rows, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_RENDER_TARGET);
    if (FAILED(device_->CreateTexture2D(&desc, nullptr, &target_)) ||
        FAILED(device_->CreateRenderTargetView(target_.p, nullptr, &target_view_))) {
      return false;
    }
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    return SUCCEEDED(device_->CreateTexture2D(&desc, nullptr, &staging_));
  }

  const uint32_t cell_;
  Com<ID3D11Device> device_;
  Com<ID3D11DeviceContext> context_;
  Com<ID3D11VertexShader> vertex_;
  Com<ID3D11PixelShader> pixel_;
  Com<ID3D11Buffer> constants_;
  Com<ID3D11RasterizerState> rasterizer_;
  Com<ID3D11Texture2D> target_, staging_;
  Com<ID3D11RenderTargetView> target_view_;
  uint32_t cols_ = 0, rows_ = 0;
  bool submitted_ = false;
};

}  // namespace

std::unique_ptr<GpuCellAnalyzer> GpuCellAnalyzer::Create(uint32_t cell) {
  if (cell == 0 || cell > 64) return nullptr;
  auto analyzer = std::make_unique<D3d11CellAnalyzer>(cell);
  if (!analyzer->Init()) return nullptr;
  return analyzer;
}

}  // namespace vyo::platform
