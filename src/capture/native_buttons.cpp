#include "capture/native_buttons.h"

#include <algorithm>

#include "base/log.h"
#include "base/text.h"
#include "capture/image_files.h"
#include "protocol/commands.h"
#include "protocol/protocol.h"
#include "protocol/texture_layout.h"
#include "qos/events.h"
#include "qos/qos.h"

namespace vyo::capture {

using host::ViewState;

namespace {

// The atlas stacks three images: w and 3h must each fit a texture side.
bool AtlasFits(int32_t width, int32_t image_height) {
  return width <= host::kMaxViewSide && static_cast<int64_t>(image_height) * 3 <= host::kMaxViewSide;
}

// Every image holds at least width x image_height pixels.
bool ImagesHold(const ButtonImages& images, int32_t width, int32_t image_height) {
  const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(image_height) * 4;
  return std::all_of(images.begin(), images.end(), [&](const auto& image) { return image.size() >= bytes; });
}

}  // namespace

NativeButtons::NativeButtons(platform::Clock& clock, const host::HostSettings& settings, host::ViewRegistry& views,
                             host::OverlayChannel& overlay, host::MainThread& main_thread)
    : clock_(clock), settings_(settings), views_(views), overlay_(overlay), main_thread_(main_thread) {}

void NativeButtons::RegisterCommands(host::CommandDispatcher& dispatcher) {
  dispatcher.On<host::NativeButtonCreateCmd>([this](const host::NativeButtonCreateCmd& c) {
    CreateNativeButton(c.view_id, c.width, c.height, c.visible, {c.normal, c.hover, c.pressed});
  });
}

void NativeButtons::LogView(const char* text, uint32_t view_id, const SourceLocation& where) {
  overlay_.SendLog(ViewForm(text, view_id), where);
}

bool NativeButtons::DecodeButtonImages(uint32_t view_id, const std::array<std::u16string, 3>& paths, int32_t width,
                                       int32_t height, ButtonImages* images) {
  const auto decode = [&](int i) {
    if (DecodeImageFileToBgra(paths[i], width, height, &(*images)[i])) return true;
    overlay_.SendLog("DecodeImageFileToBgra failed, hr=0x80004005, path=" + Utf16ToUtf8(paths[i]));
    return false;
  };
  if (!decode(0)) {
    LogView("button normal image decode failed", view_id);
    return false;
  }
  // The normal image stands in for a missing hover or pressed image.
  for (int i = 1; i < 3; ++i) {
    if (paths[i].empty() || !decode(i)) (*images)[i] = (*images)[0];
  }
  return true;
}

void NativeButtons::CreateNativeButton(uint32_t view_id, int32_t width, int32_t height, bool visible,
                                       const std::array<std::u16string, 3>& paths) {
  main_thread_.CheckOnMainThread();
  if (width <= 0) width = 1;
  if (height <= 0) height = 1;
  const uint32_t start = clock_.TickMs();
  bool created = false;
  if (!AtlasFits(width, height)) {
    overlay_.SendLog(StringPrintf("button image too large, view_id=%u, width=%d, height=%d", view_id, width, height));
  } else {
    ButtonImages images;
    if (DecodeButtonImages(view_id, paths, width, height, &images)) {
      created = CreateButtonView(view_id, 0, 0, width, height, visible, 0, images);
    }
  }
  qos::Report(qos::NativeButtonCreatedEvent(!created, clock_.TickMs() - start, view_id, width, height));
}

bool NativeButtons::CreateButtonView(uint32_t view_id, int32_t x, int32_t y, int32_t width, int32_t height,
                                     bool visible, int32_t z, const ButtonImages& images) {
  main_thread_.CheckOnMainThread();
  if (height <= 0) height = 1;
  if (width <= 0) width = 1;
  if (!AtlasFits(width, height) || !ImagesHold(images, width, height)) return false;
  if (settings_.windowed) {
    // Windowed presentation shows buttons on the host's own window, which this host does not have.
    LogView("native button refused, windowed presentation has no button surfaces", view_id);
    return false;
  }
  // Whatever had this id goes completely first (a web view loses its browser view, texture and page
  // state, its observers told), so no half-destroyed view is left behind.
  const bool existed = views_.With(view_id, [](ViewState* view) { return view != nullptr; });
  if (existed) {
    if (!destroy_view_) {
      LogView("native button refused, the id is in use", view_id);
      return false;
    }
    destroy_view_(view_id);
  }
  {
    std::lock_guard<host::ViewsLock> guard(views_.lock());
    ViewState& view = views_.GetOrCreateLocked(view_id);
    view.view_id = view_id;
    view.kind = host::ViewKind::kNative;
    view.width = width;
    view.height = height * 3;
    view.visible = visible;
    view.x = x;
    view.y = y;
    view.z_order = z;
    view.has_surface = true;
  }
  views_.NotifyCreated(view_id);  // the capture service makes the texture and announces it
  return FillButtonAtlas(view_id, width, height, images);
}

bool NativeButtons::FillButtonAtlas(uint32_t view_id, int32_t width, int32_t image_height, const ButtonImages& images) {
  enum class Result { kNoTexture, kBusy, kCopyFailed, kFilled } result = Result::kNoTexture;
  {
    std::lock_guard<host::ViewsLock> guard(views_.lock());
    ViewState* view = views_.FindLocked(view_id);
    if (view != nullptr && view->capture.texture) {
      host::ViewCaptureState& cap = view->capture;
      if (!cap.texture->AcquireSync(host::kHostKey, 0)) {
        result = Result::kBusy;
      } else {
        // One contiguous w x 3h picture (a copy takes the texture's own positions): image i in rows
        // i*h .. (i+1)*h - 1. Made once per button or update, never per frame.
        const size_t image_bytes = static_cast<size_t>(width) * image_height * 4;
        std::vector<uint8_t> atlas(image_bytes * 3);
        for (size_t i = 0; i < 3; ++i) std::copy(images[i].begin(), images[i].begin() + image_bytes, atlas.begin() + i * image_bytes);
        if (cap.texture->CopyRegion(atlas.data(), static_cast<size_t>(width) * 4, 0, 0, width, image_height * 3)) {
          if (cap.dirty_map) host::PublishDirty(cap.dirty_map->data(), true, 0, 0, width, image_height * 3);
          cap.has_content = true;
          result = Result::kFilled;
        } else {
          result = Result::kCopyFailed;
        }
        cap.texture->ReleaseSync(result == Result::kFilled ? host::kOverlayKey : host::kHostKey);
      }
    }
  }
  switch (result) {
    case Result::kNoTexture:
      return false;
    case Result::kBusy:
      LogView("button atlas AcquireSync failed", view_id);
      return false;
    case Result::kCopyFailed:
      LogView("button atlas copy failed", view_id);
      return false;
    case Result::kFilled:
      break;
  }
  overlay_.SendToOverlay(host::kButtonAtlasReady,
                         host::Encode(host::ButtonAtlasReadyMsg{view_id, static_cast<uint32_t>(width),
                                                                static_cast<uint32_t>(image_height)}));
  LogView("button atlas ready", view_id);
  return true;
}

bool NativeButtons::UpdateButtonImages(uint32_t view_id, const ButtonImages& images) {
  main_thread_.CheckOnMainThread();
  int32_t width = 0, image_height = 0;
  const bool button = views_.With(view_id, [&](ViewState* view) {
    if (view == nullptr || view->kind != host::ViewKind::kNative) return false;
    width = view->width;
    image_height = view->height / 3;
    return width >= 1 && image_height >= 1;
  });
  if (!button || !ImagesHold(images, width, image_height)) return false;
  return FillButtonAtlas(view_id, width, image_height, images);
}

void NativeButtons::SetButtonState(uint32_t view_id, uint32_t state) {
  if (state > 2) state = 0;
  views_.With(view_id, [&](ViewState* view) {
    if (view == nullptr || view->kind != host::ViewKind::kNative) return;
    view->capture.button_state = state;
  });
}

}  // namespace vyo::capture
