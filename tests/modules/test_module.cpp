// A module for the module host's contract tests. What it does is chosen by its configuration text
// (words anywhere in it); what it saw is kept in a record the test reads through TestModule_State.
// Built several times: TEST_MODULE_VERSION changes the reported interface version and
// TEST_MODULE_NO_SHUTDOWN leaves the shutdown export out.
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vyo_module.h"

#ifndef TEST_MODULE_VERSION
#define TEST_MODULE_VERSION 1
#endif

struct TestModuleState {
  int init_calls = 0;
  int shutdown_calls = 0;
  int ticks = 0;
  uint64_t last_tick = 0;
  VyomInitArgs args{};
  std::string config;
  std::u16string folder;
  uint32_t table_size = 0, table_version = 0;
  bool table_complete = false;
  uint32_t view = 0;
  std::string last_host_message;
  uint32_t last_host_length = 0;
  int host_messages = 0;
  std::string last_page_message;
  uint32_t last_page_view = 0, last_page_length = 0;
  uint32_t last_event = 0, last_event_view = 0, events = 0;
  const VyomServices* services = nullptr;
  std::atomic<bool> stop_thread{false};
  std::thread worker;
};

static TestModuleState g_state;

// The flood: a thread of the module that, once let go, makes and destroys views and sends output as
// fast as it can, keeping the ids create_view gave.
struct Flood {
  std::atomic<bool> go{false};
  std::atomic<bool> done{false};
  std::vector<uint32_t> created;  // written by the thread, read after done
  int refused = 0;
  int outputs = 0;
};
static Flood g_flood;

static bool Has(const char* word) { return g_state.config.find(word) != std::string::npos; }

extern "C" {

VYOM_EXPORT TestModuleState* TestModule_State() { return &g_state; }

VYOM_EXPORT uint32_t VYOM_GetAbiVersion() { return TEST_MODULE_VERSION; }

VYOM_EXPORT int32_t VYOM_Initialize(const VyomServices* services, const VyomInitArgs* args) {
  ++g_state.init_calls;
  g_state.services = services;
  g_state.args = *args;
  g_state.config = args->config != nullptr ? std::string(args->config, args->config_length) : std::string();
  g_state.folder.clear();
  for (const vyom_char16* p = args->module_folder; p != nullptr && *p != 0; ++p) g_state.folder.push_back(*p);
  g_state.table_size = services->size;
  g_state.table_version = services->version;
  const void* const* fns = reinterpret_cast<const void* const*>(&services->create_view);
  g_state.table_complete = true;
  for (int i = 0; i < 22; ++i) g_state.table_complete = g_state.table_complete && fns[i] != nullptr;
  static const vyom_char16 url[] = {'a', 'b', 'o', 'u', 't', ':', 'b', 'l', 'a', 'n', 'k', 0};
  if (Has("view")) g_state.view = services->create_view(services->context, url, 1, 2, 300, 200, 1);
  if (Has("init_crash")) {
    volatile int* null_pointer = nullptr;
    *null_pointer = 1;
  }
  if (Has("thread")) {
    g_state.stop_thread = false;
    g_state.worker = std::thread([services] {
      while (!g_state.stop_thread) {
        services->set_view_rect(services->context, g_state.view, 5, 5, 50, 50);
        services->post_message(services->context, g_state.view, "{\"n\":1}");
        services->send_to_overlay(services->context, "tick");
      }
    });
  }
  if (Has("swamp")) {
    g_state.worker = std::thread([services] {
      // The test lets the flood go within its own deadline; the thread gives up after 20 s.
      for (int waited = 0; !g_flood.go && !g_state.stop_thread && waited < 20000; ++waited) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      static const vyom_char16 blank[] = {'a', 'b', 'o', 'u', 't', ':', 'b', 'l', 'a', 'n', 'k', 0};
      for (int i = 0; i < 2000 && g_flood.go && !g_state.stop_thread; ++i) {
        const uint32_t view = services->create_view(services->context, blank, 0, 0, 16, 16, 1);
        if (view != 0) {
          g_flood.created.push_back(view);
          services->destroy_view(services->context, view);
        } else {
          ++g_flood.refused;
        }
        services->send_to_overlay(services->context, "flood");
        ++g_flood.outputs;
      }
      g_flood.done = true;
    });
  }
  return Has("init_fail") ? 0 : 1;
}

VYOM_EXPORT void TestModule_FloodGo() { g_flood.go = true; }
VYOM_EXPORT int32_t TestModule_FloodDone() { return g_flood.done ? 1 : 0; }
// After the flood: the ids create_view gave (at most `capacity` copied), how many creations were
// refused and how many outputs were sent. Returns the number of ids.
VYOM_EXPORT uint32_t TestModule_FloodResults(uint32_t* ids, uint32_t capacity, int32_t* refused, int32_t* outputs) {
  const uint32_t n = static_cast<uint32_t>(g_flood.created.size());
  for (uint32_t i = 0; i < n && i < capacity; ++i) ids[i] = g_flood.created[i];
  *refused = g_flood.refused;
  *outputs = g_flood.outputs;
  return n;
}

#ifndef TEST_MODULE_NO_SHUTDOWN
VYOM_EXPORT void VYOM_Shutdown() {
  ++g_state.shutdown_calls;
  if (g_state.worker.joinable()) {
    g_state.stop_thread = true;
    g_state.worker.join();
  }
}
#endif

VYOM_EXPORT void VYOM_Tick(uint64_t now) {
  ++g_state.ticks;
  g_state.last_tick = now;
  if (Has("tick_crash")) {
    volatile int* null_pointer = nullptr;
    *null_pointer = 2;
  }
  if (Has("login_fault")) {
    // A login record in read-only memory: the host's write into it faults.
    static const VyomLoginInfo read_only = {16, 0, 0};
    g_state.services->get_login_info(g_state.services->context, const_cast<VyomLoginInfo*>(&read_only));
  }
  if (Has("flood")) {
    for (int i = 0; i < 10000; ++i) g_state.services->send_to_overlay(g_state.services->context, "flood");
  }
}

VYOM_EXPORT void VYOM_OnHostMessage(const char* text, uint32_t length) {
  ++g_state.host_messages;
  g_state.last_host_message.assign(text, length);
  g_state.last_host_length = length;
  if (g_state.last_host_message == "unload_me") {
    // The test's services unload the module when they see this log line: an unload requested from
    // inside a call into the module.
    g_state.services->log(g_state.services->context, 1, "unload_me");
    g_state.services->log(g_state.services->context, 1, "still running");
  }
  if (g_state.last_host_message == "throw") throw std::runtime_error("module error");
  if (g_state.last_host_message == "destroy") g_state.services->destroy_view(g_state.services->context, g_state.view);
}

VYOM_EXPORT void VYOM_OnPageMessage(uint32_t view, const char* text, uint32_t length) {
  g_state.last_page_view = view;
  g_state.last_page_message.assign(text, length);
  g_state.last_page_length = length;
}

VYOM_EXPORT void VYOM_OnViewEvent(uint32_t view, uint32_t event, uint32_t) {
  ++g_state.events;
  g_state.last_event = event;
  g_state.last_event_view = view;
}

}  // extern "C"
