// PNG data and image files decoded with the Windows imaging component. Works on any thread: the calling thread joins
// the multi-threaded apartment for the call when it is in none.
#include "platform/image_decoder.h"

#include <objbase.h>
#include <wincodec.h>
#include <windows.h>

namespace vyo::platform {
namespace {

template <typename T>
struct Com {
  T* p = nullptr;
  ~Com() {
    if (p != nullptr) p->Release();
  }
  T** operator&() { return &p; }
  T* operator->() const { return p; }
};

// Runs the imaging component over the decoder `open` makes: frame 0, converted to straight BGRA,
// refused before its pixels are allocated when they would take more than `max_bytes`.
template <typename Open>
bool DecodeWith(DecodedImage* out, uint64_t max_bytes, Open open) {
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const bool uninit = init == S_OK || init == S_FALSE;
  bool ok = false;
  {
    Com<IWICImagingFactory> factory;
    Com<IWICStream> stream;
    Com<IWICBitmapDecoder> decoder;
    Com<IWICBitmapFrameDecode> frame;
    Com<IWICFormatConverter> converter;
    UINT width = 0, height = 0;
    if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory.p))) &&
        SUCCEEDED(open(factory.p, &stream, &decoder)) && SUCCEEDED(decoder->GetFrame(0, &frame)) &&
        SUCCEEDED(factory->CreateFormatConverter(&converter)) &&
        // Straight BGRA: the caller decides whether the colour is to be premultiplied.
        SUCCEEDED(converter->Initialize(frame.p, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                        WICBitmapPaletteTypeCustom)) &&
        SUCCEEDED(converter->GetSize(&width, &height)) && width >= 1 && height >= 1 && width <= kMaxDecodedSide &&
        height <= kMaxDecodedSide && static_cast<uint64_t>(width) * height * 4 <= max_bytes) {
      out->pixels.resize(static_cast<size_t>(width) * height * 4);
      if (SUCCEEDED(converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(out->pixels.size()),
                                          out->pixels.data()))) {
        out->width = width;
        out->height = height;
        out->order = ChannelOrder::kBgra;
        ok = true;
      }
    }
  }
  if (uninit) CoUninitialize();
  return ok;
}

// The imaging component tells the format from the bytes: a PNG frame and an image file in memory
// take the same path. Frames of views may be as large as a view; image files have the smaller
// pixel budget.
bool DecodeMemory(const uint8_t* data, size_t size, uint64_t max_bytes, DecodedImage* out) {
  if (data == nullptr || size == 0 || size > kMaxImageFileBytes || out == nullptr) return false;
  return DecodeWith(out, max_bytes, [&](IWICImagingFactory* factory, IWICStream** stream, IWICBitmapDecoder** decoder) {
    HRESULT hr = factory->CreateStream(stream);
    if (SUCCEEDED(hr)) hr = (*stream)->InitializeFromMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size));
    if (SUCCEEDED(hr)) hr = factory->CreateDecoderFromStream(*stream, nullptr, WICDecodeMetadataCacheOnLoad, decoder);
    return hr;
  });
}

}  // namespace

bool DecodePng(const uint8_t* data, size_t size, DecodedImage* out) {
  return DecodeMemory(data, size, static_cast<uint64_t>(kMaxDecodedSide) * kMaxDecodedSide * 4, out);
}

bool DecodeImageData(const uint8_t* data, size_t size, DecodedImage* out) {
  return DecodeMemory(data, size, kMaxDecodedImageBytes, out);
}

bool DecodeImageFile(const std::u16string& path, DecodedImage* out) {
  if (path.empty() || out == nullptr) return false;
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  const std::wstring wide(path.begin(), path.end());
  if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &attributes) ||
      (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      ((static_cast<uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow) > kMaxImageFileBytes) {
    return false;
  }
  return DecodeWith(out, kMaxDecodedImageBytes, [&](IWICImagingFactory* factory, IWICStream**, IWICBitmapDecoder** decoder) {
    return factory->CreateDecoderFromFilename(wide.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnLoad,
                                              decoder);
  });
}

}  // namespace vyo::platform
