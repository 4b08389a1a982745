// The scripts the host puts into every page, compiled into the host as UTF-16 text from the .js
// files beside this header.
#pragma once
#include <cstddef>
#include <string_view>

namespace vyo::web {

// In the order the host registers them; the shim is the DevTools backend's own and comes first
// there.
enum class PageScript {
  kAdaptiveScale,
  kDirtyReporting,
  kImeFocus,
  kNativeDragGuard,
  kSelectionCopy,
  kWindowedFocus,
  kWebViewShim,
};
constexpr size_t kPageScriptCount = 7;

std::u16string_view PageScriptText(PageScript script);

// The runtime binding the shim posts through, and the page function that delivers host messages.
constexpr char kWebViewBindingName[] = "__vyoWebviewPost";
constexpr char kWebViewDeliverName[] = "__vyoWebviewDeliver";

}  // namespace vyo::web
