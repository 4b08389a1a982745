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
                             host::OverlayChannel& overlay, host::MainThread& main_thread,
                             CaptureService& capture, INativeButtonsDelegate& delegate)
    : clock_(clock),
      settings_(settings),
      views_(views),
      overlay_(overlay),
      main_thread_(main_thread),
      capture_(capture),
      delegate_(delegate),
      decoder_(&DecodeImageFileToBgra) {}

NativeButtons::~NativeButtons() {
  {
    std::lock_guard<std::mutex> lock(queue_.mutex);
    queue_.stopping = true;
    queue_.jobs.clear();
  }
  queue_.wake.notify_all();
  if (decode_thread_.joinable()) decode_thread_.join();
}

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

NativeButtons::PendingButton NativeButtons::RegistryView(uint32_t view_id) {
  PendingButton seen;
  seen.existed = views_.Facts(view_id).has_value();
  seen.texture = capture_.TextureOf(view_id);
  return seen;
}

void NativeButtons::CreateNativeButton(uint32_t view_id, int32_t width, int32_t height, bool visible,
                                       const std::array<std::u16string, 3>& paths) {
  main_thread_.CheckOnMainThread();
  if (width <= 0) width = 1;
  if (height <= 0) height = 1;
  const uint32_t start = clock_.TickMs();
  if (!AtlasFits(width, height)) {
    overlay_.SendLog(StringPrintf("button image too large, view_id=%u, width=%d, height=%d", view_id, width, height));
    qos::Report(qos::NativeButtonCreatedEvent(true, clock_.TickMs() - start, view_id, width, height));
    return;
  }
  auto job = std::make_unique<DecodeJob>();
  job->view_id = view_id;
  job->generation = ++next_generation_;
  job->width = width;
  job->height = height;
  job->visible = visible;
  job->paths = paths;
  job->start_ms = start;
  PendingButton pending = RegistryView(view_id);
  pending.generation = job->generation;
  pending_[view_id] = std::move(pending);  // an earlier request for the id is superseded
  {
    std::lock_guard<std::mutex> lock(queue_.mutex);
    queue_.jobs.push_back(std::move(job));
  }
  queue_.wake.notify_one();
  if (!decode_thread_.joinable()) decode_thread_ = std::thread([this] { RunDecodeThread(); });
}

void NativeButtons::RunDecodeThread() {
  for (;;) {
    std::unique_ptr<DecodeJob> job;
    {
      std::unique_lock<std::mutex> lock(queue_.mutex);
      queue_.wake.wait(lock, [&] { return queue_.stopping || !queue_.jobs.empty(); });
      if (queue_.stopping) return;
      job = std::move(queue_.jobs.front());
      queue_.jobs.pop_front();
    }
    // No lock is held while decoding: the files are read and decoded here, off the main thread.
    for (size_t i = 0; i < 3; ++i) {
      if (i == 0 || !job->paths[i].empty()) {
        job->decoded[i] = decoder_(job->paths[i], job->width, job->height, &job->images[i]);
      }
    }
    std::weak_ptr<char> alive = alive_;
    std::shared_ptr<DecodeJob> done(std::move(job));
    main_thread_.PostTask([this, alive, done] {
      if (!alive.expired()) FinishNativeButton(*done);
    });
  }
}

void NativeButtons::FinishNativeButton(DecodeJob& result) {
  main_thread_.CheckOnMainThread();
  DecodeJob* job = &result;
  const uint32_t view_id = job->view_id;
  auto it = pending_.find(view_id);
  if (it == pending_.end() || it->second.generation != job->generation) {
    LogView("button images dropped, a later request for the view superseded them", view_id);
    return;
  }
  const PendingButton asked = std::move(it->second);
  pending_.erase(it);
  for (size_t i = 0; i < 3; ++i) {
    if ((i == 0 || !job->paths[i].empty()) && !job->decoded[i]) {
      overlay_.SendLog("DecodeImageFileToBgra failed, hr=0x80004005, path=" + Utf16ToUtf8(job->paths[i]));
    }
  }
  bool created = false;
  const PendingButton now = RegistryView(view_id);
  // The same texture object (compared by ownership, so a texture released meanwhile still counts as
  // another one): the view the request saw is the view still there.
  const bool same_texture = !now.texture.owner_before(asked.texture) && !asked.texture.owner_before(now.texture);
  const bool same_view = now.existed == asked.existed && (!now.existed || same_texture);
  if (!same_view) {
    LogView("button images dropped, the view was destroyed or re-created meanwhile", view_id);
  } else if (!job->decoded[0]) {
    LogView("button normal image decode failed", view_id);
  } else {
    // The normal image stands in for a missing hover or pressed image.
    for (size_t i = 1; i < 3; ++i) {
      if (!job->decoded[i]) job->images[i] = job->images[0];
    }
    created = CreateButtonView(view_id, 0, 0, job->width, job->height, job->visible, 0, job->images);
  }
  qos::Report(qos::NativeButtonCreatedEvent(!created, clock_.TickMs() - job->start_ms, view_id, job->width,
                                            job->height));
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
  host::NativeViewRequest request;
  request.view_id = view_id;
  request.x = x;
  request.y = y;
  request.width = width;
  request.height = height * 3;
  request.z_order = z;
  request.visible = visible;
  if (!delegate_.CreateNativeView(request)) {
    LogView("native button refused, its view could not be made", view_id);
    return false;
  }
  return FillButtonAtlas(view_id, width, height, images);
}

bool NativeButtons::FillButtonAtlas(uint32_t view_id, int32_t width, int32_t image_height, const ButtonImages& images) {
  using Result = CaptureService::FillResult;
  // One contiguous w x 3h picture (a copy takes the texture's own positions): image i in rows
  // i*h .. (i+1)*h - 1. Made once per button or update, never per frame.
  const size_t image_bytes = static_cast<size_t>(width) * image_height * 4;
  std::vector<uint8_t> atlas(image_bytes * 3);
  for (size_t i = 0; i < 3; ++i) std::copy(images[i].begin(), images[i].begin() + image_bytes, atlas.begin() + i * image_bytes);
  const Result result =
      capture_.FillTexture(view_id, atlas.data(), static_cast<size_t>(width) * 4, width, image_height * 3);
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
  const std::optional<host::ViewFacts> view = views_.Facts(view_id);
  if (!view || view->kind != host::ViewKind::kNative) return;
  button_states_[view_id] = state;
}

uint32_t NativeButtons::ButtonState(uint32_t view_id) const {
  auto it = button_states_.find(view_id);
  return it == button_states_.end() ? 0 : it->second;
}

void NativeButtons::OnViewDestroyed(uint32_t view_id) { button_states_.erase(view_id); }

}  // namespace vyo::capture
