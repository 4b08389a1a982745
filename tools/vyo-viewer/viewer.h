// The interactive viewer: a window with a moving scene and the host's views composed over it,
// driven through the overlay SDK. The Viewer object owns the window's contents, the views' copies
// and the input routing; it runs on the main thread and takes the SDK session, window and renderer
// it is given.
//
// Per frame: SDL events are routed (pointer input to the view under the pointer where that view is
// opaque: by its hit mask while the host's heartbeat is fresh, by its texture's alpha otherwise;
// to the scene elsewhere, where a click leaves a mark), host messages are read (textures, cursor
// shapes), each view's latest update is copied through the DirtyMap's rectangle into its SDL
// texture, and the scene, views (by z-order), marks and a status line (frames per second per view,
// input latency) are drawn.
#pragma once
#include <SDL.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vyo_overlay.h"

namespace vyo::viewer {

struct ViewerOptions {
  std::string url;
  int views = 1;
  int width = 1280, height = 720;
};

class Viewer {
 public:
  Viewer(VyoOverlay* overlay, SDL_Window* window, SDL_Renderer* renderer, ViewerOptions options);
  ~Viewer();
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;

  // Creates the views and runs until the window is closed, Escape is held for a second or the host
  // goes away. False when the views could not be created or the host went away on its own.
  bool Run();

 private:
  using Clock = std::chrono::steady_clock;
  struct View {
    uint32_t id = 0;
    SDL_Rect rect{};
    int z = 0;
    uint32_t serial = 0;  // the SDK's texture count: a new one means a new size
    std::vector<uint8_t> pixels;  // premultiplied BGRA, the SDK's copy
    std::vector<uint8_t> scratch;  // straight-alpha rows for the SDL texture
    SDL_Texture* texture = nullptr;
    uint32_t cursor = 32512;
    bool shown = false;  // a frame with visible pixels has arrived
    uint32_t frames_in_window = 0;
    double fps = 0;
  };

  void CreateViews();
  void HandleEvent(const SDL_Event& e);
  void ReadHost();
  void ReadFrames();
  void Draw();
  void DrawScene(double seconds);
  void DrawText(int x, int y, const std::string& text, SDL_Color colour);

  View* ViewAt(int x, int y);
  View* FindView(uint32_t id);
  void SendPointer(View* v, uint32_t kind, int x, int y, uint32_t buttons, int wheel = 0);
  void SendKey(const SDL_KeyboardEvent& key, bool down);
  void SendText(const char* text);
  void InputSent(const View* v);
  void ApplyCursor(View* v);

  VyoOverlay* overlay_;
  SDL_Window* window_;
  SDL_Renderer* renderer_;
  ViewerOptions options_;
  std::vector<View> views_;
  View* hovered_ = nullptr;
  View* captured_ = nullptr;  // the view that took a button press, until all buttons are up
  View* focus_ = nullptr;     // where keys and text go
  std::vector<SDL_Point> marks_;  // clicks that reached the scene
  std::string composition_;       // IME text being composed
  std::map<uint32_t, SDL_Cursor*> cursors_;
  uint32_t shown_cursor_ = 0;
  Clock::time_point start_ = Clock::now(), fps_window_ = Clock::now();
  Clock::time_point escape_down_{};
  bool escape_held_ = false;
  // Input latency: from the first input sent to a view since its last update to its next update.
  bool input_pending_ = false;
  uint32_t input_view_ = 0;
  Clock::time_point input_at_{};
  std::vector<double> latencies_ms_;
  bool running_ = true, host_gone_ = false;
};

}  // namespace vyo::viewer
