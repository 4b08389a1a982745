// vyo-viewer: the host's views over a moving scene in a window, with the real mouse and keyboard.
//
//   vyo-viewer (--url URL | --package PKG) [--views N] [--size WxH] [--host PATH]
//       --url URL       what every view shows
//       --package PKG   a package made by vyo-pack (the same as --url vyopkg:PKG)
//       --views N       how many views, cascaded, the later ones on top (default 1)
//       --size WxH      the window (default 1280x720)
//       --host PATH     the host program (default: FenyraOverlayHost beside this program)
// Pointer input goes to the view under the pointer where it is opaque, and to the scene elsewhere
// (a click there leaves a mark); keys and text go to the view clicked last. Closing the window, or
// holding Escape for a second, stops the host; the exit status is 0 when the host exited with 0.
// What happens is printed as "viewer: ..." lines.
#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "viewer.h"
#include "vyo_overlay.h"

int main(int argc, char** argv) {
  vyo::viewer::ViewerOptions options;
  const char* host = nullptr;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--url") == 0 && has_value) {
      options.url = argv[++i];
    } else if (std::strcmp(argv[i], "--package") == 0 && has_value) {
      options.url = std::string("vyopkg:") + argv[++i];
    } else if (std::strcmp(argv[i], "--views") == 0 && has_value) {
      options.views = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--size") == 0 && has_value) {
      if (std::sscanf(argv[++i], "%dx%d", &options.width, &options.height) != 2) options.width = 0;
    } else if (std::strcmp(argv[i], "--host") == 0 && has_value) {
      host = argv[++i];
    } else {
      std::fprintf(stderr, "vyo-viewer: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  if (options.url.empty() || options.views < 1 || options.views > 16 || options.width < 320 ||
      options.height < 240 || options.width > 8192 || options.height > 8192) {
    std::fprintf(stderr,
                 "usage: vyo-viewer (--url URL | --package PKG) [--views 1..16] [--size WxH] [--host PATH]\n");
    return 2;
  }
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    std::fprintf(stderr, "vyo-viewer: no display: %s\n", SDL_GetError());
    return 3;
  }
  SDL_Window* window = SDL_CreateWindow("vyo-viewer", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, options.width,
                                        options.height, SDL_WINDOW_SHOWN);
  SDL_Renderer* renderer = window != nullptr ? SDL_CreateRenderer(window, -1, 0) : nullptr;
  if (renderer == nullptr) {
    std::fprintf(stderr, "vyo-viewer: cannot open a window: %s\n", SDL_GetError());
    SDL_Quit();
    return 3;
  }
  VyoOverlayConfig config{sizeof(config), VYO_OVERLAY_API_VERSION, "viewer", 0, 0};
  VyoOverlay* overlay = nullptr;
  if (vyo_overlay_create(&config, &overlay) != VYO_OK || vyo_overlay_start_host(overlay, host, 20000) != VYO_OK) {
    std::fprintf(stderr, "vyo-viewer: %s\n", vyo_overlay_last_error());
    vyo_overlay_destroy(overlay);
    SDL_Quit();
    return 1;
  }
  SDL_RendererInfo info{};
  SDL_GetRendererInfo(renderer, &info);
  std::printf("viewer: host pid %u, window %dx%d, renderer %s\n", vyo_overlay_host_pid(overlay), options.width,
              options.height, info.name);
  bool ok = false;
  {
    vyo::viewer::Viewer viewer(overlay, window, renderer, options);
    ok = viewer.Run();
  }
  uint32_t code = 1;
  const int32_t stopped = vyo_overlay_stop_host(overlay, 15000, &code);
  if (stopped == VYO_OK) {
    std::printf("viewer: host exited with %u\n", code);
  } else {
    std::printf("viewer: %s\n", vyo_overlay_last_error());
  }
  vyo_overlay_destroy(overlay);
  SDL_DestroyRenderer(renderer);
  SDL_DestroyWindow(window);
  SDL_Quit();
  return ok && stopped == VYO_OK && code == 0 ? 0 : 1;
}
