// The port's environment: one browser (or none, when the user data folder is held by another
// browser) and the views made from it, each a page target in a window of its own.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "renderers/web/web_runtime.h"

namespace vyo::web::cdp {

class Browser;
class MainLink;

class CdpEnvironment final : public IWebEnvironment {
 public:
  // `browser` null: the user data folder is held by another browser.
  CdpEnvironment(std::shared_ptr<Browser> browser, std::shared_ptr<MainLink> link, std::string version);

  HResult CreateWebView(intptr_t /*parent_window*/, std::function<void(HResult, std::unique_ptr<IWebView>)> done,
                        std::function<bool()> still_wanted) override;

  std::string BrowserVersion() override;

  Browser* browser();

 private:
  static void Attach(const std::shared_ptr<Browser>& browser, const std::string& target,
                     std::function<void(HResult, std::unique_ptr<IWebView>)> done);

  std::shared_ptr<Browser> browser_;
  std::shared_ptr<MainLink> link_;
  std::string version_;
};

}  // namespace vyo::web::cdp
