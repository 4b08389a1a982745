// The way to the host's main thread, shared by the runtime and every object it made. The runtime
// closes it when it goes: from then on nothing is posted (a task is dropped where it is made), so
// neither a browser's threads nor a late destructor can reach a queue the host has destroyed.
// Closing waits for a post in progress on another thread to finish.
#pragma once
#include <functional>
#include <mutex>

#include "renderers/web/web_runtime.h"

namespace vyo::web::cdp {

class MainLink {
 public:
  explicit MainLink(Poster post);
  MainLink(const MainLink&) = delete;
  MainLink& operator=(const MainLink&) = delete;

  void Post(std::function<void()> task);
  void Close();

 private:
  std::mutex mutex_;
  bool open_ = true;
  const Poster post_;
};

}  // namespace vyo::web::cdp
