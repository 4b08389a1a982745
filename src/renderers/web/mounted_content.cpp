#include "renderers/web/mounted_content.h"

#include "content/resource.h"
#include "qos/events.h"

namespace vyo::web {

void FilterChange::Apply() const {
  if (!webview) return;
  for (const auto& [add, pattern] : steps) {
    if (add) {
      webview->AddWebResourceRequestedFilter(pattern);
    } else {
      webview->RemoveWebResourceRequestedFilter(pattern);
    }
  }
}

std::u16string MountedContent::FilterPattern(uint32_t view_id, const MountedState& state) {
  return (state.origin.empty() ? content::ViewOrigin(view_id) : state.origin) + u"/*";
}

bool MountedContent::Resolve(uint32_t view_id, MountedState& state, const std::shared_ptr<IWebView>& webview,
                             const std::u16string& url, std::u16string* resolved, FilterChange* filter,
                             std::string* failure) {
  const uint32_t start = clock_.TickMs();
  const content::ContentNavigation nav =
      content::ResolveContentNavigation(view_id, url, *state.mount, content::BuiltInKeySet());
  if (!nav.ok) {
    *failure = nav.failure_detail;
    return false;
  }
  if (webview && state.filter_added) {
    filter->Remove(webview, FilterPattern(view_id, state));
    state.filter_added = false;
  }
  if (!nav.mounted) {
    state.origin.clear();
  } else {
    state.origin = nav.origin;
    if (webview) {
      filter->Add(webview, state.origin + u"/*");
      state.filter_added = true;
    }
    qos::Report(qos::MountEvent(false, clock_.TickMs() - start, view_id, nav.source_label));
  }
  *resolved = nav.url;
  return true;
}

void MountedContent::Forget(uint32_t view_id, MountedState& state, const std::shared_ptr<IWebView>& webview,
                            FilterChange* filter) {
  if (webview && state.filter_added) {
    filter->Remove(webview, FilterPattern(view_id, state));
    state.filter_added = false;
  }
  state.mount->Reset();
  state.origin.clear();
}

std::optional<WebResourceResponse> MountedContent::Answer(const MountedState& state,
                                                          const WebResourceRequest& request) {
  if (state.origin.empty()) return std::nullopt;
  const std::optional<std::string> path = content::RequestPathForOrigin(request.uri, state.origin);
  if (!path) return std::nullopt;
  std::optional<content::ResourceResponse> found = content::LookupResource(*state.mount, *path);
  if (!found) return std::nullopt;
  WebResourceResponse response;
  response.status = found->status;
  response.reason = std::string(content::ReasonPhrase(found->status));
  response.headers = content::ResponseHeaders(found->content_type, found->policy);
  response.body = std::move(found->body);
  return response;
}

}  // namespace vyo::web
