#include "renderers/cdp/main_link.h"

#include <utility>

namespace vyo::web::cdp {

MainLink::MainLink(Poster post) : post_(std::move(post)) {}

void MainLink::Post(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (open_) post_(std::move(task));
}

void MainLink::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = false;
}

}  // namespace vyo::web::cdp
