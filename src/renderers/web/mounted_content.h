// MountedContent: what views show from packages. It resolves a navigation to plain or mounted
// content (mounting the package: file reads, signature checks, decryption), keeps the resource
// filter that routes the view's origin to the host, forgets a view's content when it fails, and
// answers the requests for mounted resources. Each view's mount, origin and filter flag
// (MountedState) are kept in the view's web fields; the filter changes are returned to the caller
// and made once those fields are consistent again.
//
// Main thread, with no lock held.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "content/mount.h"
#include "platform/clock.h"
#include "renderers/web/web_runtime.h"

namespace vyo::web {

struct MountedState {
  std::shared_ptr<content::Mount> mount = std::make_shared<content::Mount>();
  // The view's origin while it shows mounted content; empty otherwise.
  std::u16string origin;
  // Whether the web view's resource filter for the origin is in place.
  bool filter_added = false;
};

// Resource filter changes of one web view, made in order by Apply.
struct FilterChange {
  std::shared_ptr<IWebView> webview;
  std::vector<std::pair<bool, std::u16string>> steps;  // (add, pattern)
  void Add(const std::shared_ptr<IWebView>& wv, std::u16string pattern) {
    webview = wv;
    steps.emplace_back(true, std::move(pattern));
  }
  void Remove(const std::shared_ptr<IWebView>& wv, std::u16string pattern) {
    webview = wv;
    steps.emplace_back(false, std::move(pattern));
  }
  void Apply() const;
};

class MountedContent {
 public:
  explicit MountedContent(platform::Clock& clock) : clock_(clock) {}

  // The pattern of the view's resource filter ("<origin>/*", the view's default origin when none).
  static std::u16string FilterPattern(uint32_t view_id, const MountedState& state);
  // Resolves `url` for the view whose web view is `webview` (may be null): the URL to navigate to,
  // and the filter change the new content needs. False (with the failure's detail) when the
  // content cannot be mounted.
  bool Resolve(uint32_t view_id, MountedState& state, const std::shared_ptr<IWebView>& webview,
               const std::u16string& url, std::u16string* resolved, FilterChange* filter, std::string* failure);
  // The view's content failed: the mount is reset, the origin forgotten and its filter removed.
  static void Forget(uint32_t view_id, MountedState& state, const std::shared_ptr<IWebView>& webview,
                     FilterChange* filter);
  // The answer to a request of the view's page for mounted content; nullopt lets it go on normally.
  static std::optional<WebResourceResponse> Answer(const MountedState& state, const WebResourceRequest& request);

 private:
  platform::Clock& clock_;
};

}  // namespace vyo::web
