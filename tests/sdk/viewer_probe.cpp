// Looks at the viewer from outside, for tests/sdk/viewer_test.sh:
//   viewer_probe find NAME                    the id of the window named NAME (exit 1: none)
//   viewer_probe shot WINDOW FILE.ppm         the window's pixels as a PPM picture
//   viewer_probe close WINDOW                 asks the window to close, as a window manager does
//   viewer_probe region FILE X Y W H          counts in the rectangle: "pixels P colours C dark D
//                                             white W magenta M" (dark: luma < 90; white: all
//                                             channels >= 235; magenta: the scene's click mark)
//   viewer_probe white-run FILE X Y W H N     "X Y L": the first row's first run of N or more
//                                             white pixels in the rectangle (its middle, length)
//   viewer_probe browser HOST_PID             the process group of the host's browser
//   viewer_probe alive GROUP                  how many processes of that group are alive
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "browser_host/browser_processes.h"

namespace {

struct Picture {
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;
  const unsigned char* At(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

bool ReadPpm(const char* path, Picture* p) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int max = 0;
  if (!(in >> magic >> p->width >> p->height >> max) || magic != "P6" || max != 255) return false;
  in.get();
  p->rgb.resize(static_cast<size_t>(p->width) * p->height * 3);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(p->rgb.data()), static_cast<std::streamsize>(p->rgb.size())));
}

Window FindByName(Display* d, Window w, const char* name) {
  char* title = nullptr;
  if (XFetchName(d, w, &title) != 0 && title != nullptr) {
    const bool match = std::strcmp(title, name) == 0;
    XFree(title);
    if (match) return w;
  }
  Window root = 0, parent = 0, *children = nullptr;
  unsigned int n = 0;
  Window found = 0;
  if (XQueryTree(d, w, &root, &parent, &children, &n) != 0) {
    for (unsigned int i = 0; i < n && found == 0; ++i) found = FindByName(d, children[i], name);
    if (children != nullptr) XFree(children);
  }
  return found;
}

int Usage() {
  std::fprintf(stderr, "viewer_probe: bad arguments\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string cmd = argv[1];
  if (cmd == "region" || cmd == "white-run") {
    Picture p;
    if (argc < 7 || (cmd == "white-run" && argc < 8) || !ReadPpm(argv[2], &p)) return Usage();
    const int x0 = std::max(0, std::atoi(argv[3])), y0 = std::max(0, std::atoi(argv[4]));
    const int x1 = std::min(p.width, std::atoi(argv[3]) + std::atoi(argv[5]));
    const int y1 = std::min(p.height, std::atoi(argv[4]) + std::atoi(argv[6]));
    const auto white = [&](int x, int y) {
      const unsigned char* c = p.At(x, y);
      return c[0] >= 235 && c[1] >= 235 && c[2] >= 235;
    };
    if (cmd == "white-run") {
      const int wanted = std::atoi(argv[7]);
      for (int y = y0; y < y1; ++y) {
        for (int x = x0, run = 0; x < x1; ++x) {
          run = white(x, y) ? run + 1 : 0;
          const bool ends = run > 0 && (x + 1 == x1 || !white(x + 1, y));
          if (ends && run >= wanted) {
            std::printf("%d %d %d\n", x - run / 2, y, run);
            return 0;
          }
        }
      }
      return 1;
    }
    long pixels = 0, dark = 0, whites = 0, magenta = 0;
    std::set<unsigned> colours;
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        const unsigned char* c = p.At(x, y);
        ++pixels;
        if (colours.size() < 4096) colours.insert(unsigned(c[0]) << 16 | unsigned(c[1]) << 8 | c[2]);
        if (0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2] < 90) ++dark;
        if (white(x, y)) ++whites;
        if (c[0] >= 230 && c[1] <= 30 && c[2] >= 230) ++magenta;
      }
    }
    std::printf("pixels %ld colours %zu dark %ld white %ld magenta %ld\n", pixels, colours.size(), dark, whites, magenta);
    return 0;
  }
  if (cmd == "browser") {
    const auto group = vyo::testing::BrowserOf(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    if (!group) return 1;
    std::printf("%d\n", *group);
    return 0;
  }
  if (cmd == "alive") {
    std::printf("%d\n", vyo::testing::LiveInGroup(std::atoi(argv[2])));
    return 0;
  }
  Display* d = XOpenDisplay(nullptr);
  if (d == nullptr) {
    std::fprintf(stderr, "viewer_probe: no display\n");
    return 3;
  }
  int status = 0;
  if (cmd == "find") {
    const Window w = FindByName(d, DefaultRootWindow(d), argv[2]);
    if (w == 0) status = 1;
    else std::printf("%lu\n", w);
  } else if (cmd == "shot" && argc >= 4) {
    const Window w = std::strtoul(argv[2], nullptr, 10);
    XWindowAttributes a{};
    XImage* img = XGetWindowAttributes(d, w, &a) != 0 ? XGetImage(d, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap) : nullptr;
    if (img == nullptr) {
      status = 1;
    } else {
      FILE* f = std::fopen(argv[3], "wb");
      std::fprintf(f, "P6\n%d %d\n255\n", img->width, img->height);
      for (int y = 0; y < img->height; ++y) {
        for (int x = 0; x < img->width; ++x) {
          const unsigned long px = XGetPixel(img, x, y);
          const unsigned char rgb[3] = {static_cast<unsigned char>((px & img->red_mask) >> 16),
                                        static_cast<unsigned char>((px & img->green_mask) >> 8),
                                        static_cast<unsigned char>(px & img->blue_mask)};
          std::fwrite(rgb, 1, 3, f);
        }
      }
      std::fclose(f);
      XDestroyImage(img);
    }
  } else if (cmd == "close") {
    const Window w = std::strtoul(argv[2], nullptr, 10);
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    status = XSendEvent(d, w, False, NoEventMask, &e) != 0 ? 0 : 1;
    XSync(d, False);
  } else {
    status = Usage();
  }
  XCloseDisplay(d);
  return status;
}
