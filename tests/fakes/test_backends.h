// The application object's engines for tests and fuzzing: nothing from the machine, no windows,
// no browser.
#pragma once
#include "host/app.h"
#include "input/keyboard_layout.h"

namespace vyo::testing {

// The platform's engines without what needs the machine's set-up: no windows, no browser, no
// profile folders, no watchdog thread, the US keyboard tables.
inline host::HostBackends TestBackends() {
  host::HostBackends backends = host::PlatformBackends();
  backends.window_system = false;
  backends.web_runtime = nullptr;
  backends.user_data_fs = nullptr;
  backends.watchdog = false;
  backends.keyboard_layout = &host::CreateUsKeyboardLayout;
  return backends;
}

}  // namespace vyo::testing
