#include "renderers/cdp/cdp_environment.h"

#include <utility>

#include "base/text.h"
#include "renderers/cdp/browser.h"
#include "renderers/cdp/cdp_view.h"
#include "renderers/cdp/main_link.h"
#include "renderers/cdp/view_core.h"
#include "renderers/web/scripts/page_scripts.h"

namespace vyo::web::cdp {

CdpEnvironment::CdpEnvironment(std::shared_ptr<Browser> browser, std::shared_ptr<MainLink> link, std::string version)
    : browser_(std::move(browser)), link_(std::move(link)), version_(std::move(version)) {}

HResult CdpEnvironment::CreateWebView(intptr_t /*parent_window*/,
                                      std::function<void(HResult, std::unique_ptr<IWebView>)> done,
                                      std::function<bool()> still_wanted) {
  if (!done) return kInvalidArg;
  if (!browser_) {
    link_->Post([done] { done(kInvalidState, nullptr); });
    return kOk;
  }
  if (!browser_->connected()) return kFail;
  std::weak_ptr<Browser> weak = browser_;
  Browser::Creation creation;
  creation.wanted = std::move(still_wanted);
  creation.cancel = [done] { done(kAbort, nullptr); };
  creation.run = [weak, done](std::function<void()> finished) {
    // Whatever the outcome, the creation's turn ends before the host hears of it.
    auto finish = [finished, done](HResult hr, std::unique_ptr<IWebView> view) {
      finished();
      done(hr, std::move(view));
    };
    auto browser = weak.lock();
    // Every view is a window of its own: a tab behind another one is hidden, and a hidden page
    // neither draws nor reliably reports its first load.
    const bool sent = browser && browser->Send("Target.createTarget", Json{{"url", "about:blank"}, {"newWindow", true}},
                                               {}, [weak, finish](bool ok, const Json& answer) {
                                                 auto b = weak.lock();
                                                 const std::string target =
                                                     ok ? StringField(answer, "targetId") : std::string();
                                                 if (!b || target.empty()) {
                                                   finish(kFail, nullptr);
                                                   return;
                                                 }
                                                 Attach(b, target, finish);
                                               });
    if (!sent) finish(kFail, nullptr);
  };
  browser_->StartCreation(std::move(creation));
  return kOk;
}

std::string CdpEnvironment::BrowserVersion() {
  return version_;
}

Browser* CdpEnvironment::browser() {
  return browser_.get();
}

void CdpEnvironment::Attach(const std::shared_ptr<Browser>& browser, const std::string& target,
                            std::function<void(HResult, std::unique_ptr<IWebView>)> done) {
  std::weak_ptr<Browser> weak = browser;
  const bool sent = browser->Send("Target.attachToTarget", Json{{"targetId", target}, {"flatten", true}}, {},
                                  [weak, target, done](bool ok, const Json& answer) {
                                    auto b = weak.lock();
                                    const std::string session = ok ? StringField(answer, "sessionId") : std::string();
                                    if (!b || session.empty()) {
                                      if (b) b->CloseTarget(target);
                                      done(kFail, nullptr);
                                      return;
                                    }
                                    auto core = std::make_shared<ViewCore>(b, target, session);
                                    b->RegisterView(session, target, core);
                                    // The view is kept by its own setup until it is handed over (or its target or the
                                    // link goes down).
                                    core->AwaitFirstLoad([core, done](bool loaded) {
                                      if (!loaded || core->closed()) {
                                        core->Close();
                                        done(kFail, nullptr);
                                        return;
                                      }
                                      done(kOk, std::make_unique<CdpView>(core));
                                    });
                                    core->Send("Page.enable", Json::object());
                                    core->Send("Network.enable", Json::object());
                                    core->Send("Inspector.enable", Json::object());
                                    core->Send("Page.setLifecycleEventsEnabled", Json{{"enabled", true}});
                                    // window.chrome.webview, before any script the host adds.
                                    const std::string shim =
                                        Utf16ToUtf8(std::u16string(PageScriptText(PageScript::kWebViewShim)));
                                    core->Send("Runtime.enable", Json::object());
                                    core->Send("Runtime.addBinding", Json{{"name", kWebViewBindingName}});
                                    core->Send("Page.addScriptToEvaluateOnNewDocument", Json{{"source", shim}});
                                    core->Send("Runtime.evaluate", Json{{"expression", shim}});
                                  });
  if (!sent) done(kFail, nullptr);
}

}  // namespace vyo::web::cdp
