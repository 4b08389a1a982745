#include "viewer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vyo::viewer {

namespace {

constexpr uint32_t kOpaqueAlpha = 16;       // texture alpha from which a pixel belongs to its view
constexpr auto kEscapeHold = std::chrono::milliseconds(1000);
constexpr SDL_Color kMark{255, 0, 255, 255};  // scene click marks: a colour the scene never uses

// 3 x 5 glyphs, rows top to bottom, '#' lit.
const std::map<char, const char*>& Glyphs() {
  static const std::map<char, const char*> glyphs = {
      {'0', "####.##.##.####"}, {'1', ".#.##..#..#.###"}, {'2', "###..#####..###"}, {'3', "###..#.##..####"},
      {'4', "#.##.####..#..#"}, {'5', "####..###..####"}, {'6', "####..####.####"}, {'7', "###..#..#.#..#."},
      {'8', "####.#####.####"}, {'9', "####.####..####"}, {'A', ".#.#.#####.##.#"},  {'B', "##.#.###.#.###."},
      {'C', ".###..#..#...##"}, {'D', "##.#.##.##.###."}, {'E', "####..##.#..###"}, {'F', "####..##.#..#.."},
      {'G', ".###..#.##.#.##"}, {'H', "#.##.#####.##.#"},  {'I', "###.#..#..#.###"}, {'J', "..#..#..##.#.#."},
      {'K', "#.##.###.#.##.#"}, {'L', "#..#..#..#..###"}, {'M', "#.########.##.#"},  {'N', "##.#.##.##.##.#"},
      {'O', ".#.#.##.##.#.#."}, {'P', "##.#.###.#..#.."}, {'Q', ".#.#.##.###..##"}, {'R', "##.#.###.#.##.#"},
      {'S', ".###...#...###."}, {'T', "###.#..#..#..#."}, {'U', "#.##.##.##.####"}, {'V', "#.##.##.##.#.#."},
      {'W', "#.##.########.#"},  {'X', "#.##.#.#.#.##.#"}, {'Y', "#.##.#.#..#..#."}, {'Z', "###..#.#.#..###"},
      {':', "....#.....#...."}, {'.', ".............#."}, {'/', "..#..#.#.#..#.."}, {'-', "......###......"},
      {'=', "...###...###..."}, {'(', ".#.#..#..#...#."}, {')', ".#...#..#..#.#."}, {',', "..........#.#.."},
      {'%', "#.#..#.#.#..#.#"}, {'?', "###..#.#.....#."}, {'_', "............###"}, {'+', "....#.###.#...."},
  };
  return glyphs;
}

SDL_SystemCursor SystemCursorFor(uint32_t id) {
  switch (id) {
    case 32513: return SDL_SYSTEM_CURSOR_IBEAM;
    case 32514: return SDL_SYSTEM_CURSOR_WAIT;
    case 32515: return SDL_SYSTEM_CURSOR_CROSSHAIR;
    case 32642: return SDL_SYSTEM_CURSOR_SIZENWSE;
    case 32643: return SDL_SYSTEM_CURSOR_SIZENESW;
    case 32644: return SDL_SYSTEM_CURSOR_SIZEWE;
    case 32645: return SDL_SYSTEM_CURSOR_SIZENS;
    case 32646: return SDL_SYSTEM_CURSOR_SIZEALL;
    case 32648: return SDL_SYSTEM_CURSOR_NO;
    case 32649: return SDL_SYSTEM_CURSOR_HAND;
    case 32650: return SDL_SYSTEM_CURSOR_WAITARROW;
    default: return SDL_SYSTEM_CURSOR_ARROW;
  }
}

// The virtual-key code of keys that carry no text (text comes through SDL_TEXTINPUT); 0 for the rest.
uint32_t VirtualKey(SDL_Keycode key) {
  switch (key) {
    case SDLK_BACKSPACE: return 0x08;
    case SDLK_TAB: return 0x09;
    case SDLK_RETURN: case SDLK_KP_ENTER: return 0x0D;
    case SDLK_ESCAPE: return 0x1B;
    case SDLK_PAGEUP: return 0x21;
    case SDLK_PAGEDOWN: return 0x22;
    case SDLK_END: return 0x23;
    case SDLK_HOME: return 0x24;
    case SDLK_LEFT: return 0x25;
    case SDLK_UP: return 0x26;
    case SDLK_RIGHT: return 0x27;
    case SDLK_DOWN: return 0x28;
    case SDLK_INSERT: return 0x2D;
    case SDLK_DELETE: return 0x2E;
    default: break;
  }
  if (key >= SDLK_F1 && key <= SDLK_F12) return 0x70 + static_cast<uint32_t>(key - SDLK_F1);
  return 0;
}

uint32_t Modifiers(uint16_t mod) {
  return ((mod & KMOD_ALT) ? VYO_MOD_ALT : 0u) | ((mod & KMOD_CTRL) ? VYO_MOD_CTRL : 0u) |
         ((mod & KMOD_GUI) ? VYO_MOD_META : 0u) | ((mod & KMOD_SHIFT) ? VYO_MOD_SHIFT : 0u);
}

double Median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

Viewer::Viewer(VyoOverlay* overlay, SDL_Window* window, SDL_Renderer* renderer, ViewerOptions options)
    : overlay_(overlay), window_(window), renderer_(renderer), options_(std::move(options)) {}

Viewer::~Viewer() {
  for (View& v : views_) {
    if (v.texture != nullptr) SDL_DestroyTexture(v.texture);
  }
  for (auto& entry : cursors_) SDL_FreeCursor(entry.second);
}

void Viewer::CreateViews() {
  const int count = std::clamp(options_.views, 1, 16);
  const int w = std::min(560, options_.width - 40), h = std::min(320, options_.height - 40);
  vyo_overlay_surface_info(overlay_, static_cast<uint32_t>(options_.width), static_cast<uint32_t>(options_.height));
  views_.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    View& v = views_[static_cast<size_t>(i)];
    v.id = static_cast<uint32_t>(i + 1);
    // Cascaded from the top-left, each a little lower and to the right, the later ones on top.
    const int x = std::min(60 + i * 90, std::max(0, options_.width - w));
    const int y = std::min(60 + i * 70, std::max(0, options_.height - h - 30));
    v.rect = SDL_Rect{x, y, w, h};
    v.z = i;
    if (vyo_overlay_view_create(overlay_, v.id, x, y, w, h, 1, options_.url.c_str()) != VYO_OK ||
        vyo_overlay_view_set_z_order(overlay_, v.id, v.z) != VYO_OK ||
        vyo_overlay_view_set_frame_rate(overlay_, v.id, 60) != VYO_OK) {
      std::printf("viewer: cannot create view %u: %s\n", v.id, vyo_overlay_last_error());
      running_ = false;
      return;
    }
    std::printf("viewer: view %u at %d,%d %dx%d z %d\n", v.id, x, y, w, h, v.z);
  }
}

bool Viewer::Run() {
  CreateViews();
  while (running_) {
    const auto frame_start = Clock::now();
    SDL_Event e;
    while (SDL_PollEvent(&e) != 0) HandleEvent(e);
    if (escape_held_ && Clock::now() - escape_down_ >= kEscapeHold) {
      std::printf("viewer: Escape held, closing\n");
      running_ = false;
    }
    ReadHost();
    ReadFrames();
    Draw();
    // About 60 frames per second; the renderer may not wait for the display.
    const auto spent = Clock::now() - frame_start;
    if (spent < std::chrono::milliseconds(16)) {
      SDL_Delay(static_cast<uint32_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::milliseconds(16) - spent).count()));
    }
    std::fflush(stdout);
  }
  return !host_gone_ && !views_.empty();
}

Viewer::View* Viewer::FindView(uint32_t id) {
  for (View& v : views_) {
    if (v.id == id) return &v;
  }
  return nullptr;
}

Viewer::View* Viewer::ViewAt(int x, int y) {
  std::vector<View*> order;
  for (View& v : views_) order.push_back(&v);
  std::stable_sort(order.begin(), order.end(), [](const View* a, const View* b) { return a->z > b->z; });
  for (View* v : order) {
    const SDL_Point p{x, y};
    if (v->texture == nullptr || !SDL_PointInRect(&p, &v->rect)) continue;
    const int lx = x - v->rect.x, ly = y - v->rect.y;
    int32_t opaque = 0;
    if (vyo_overlay_hit_test(overlay_, v->id, lx, ly, &opaque) == VYO_OK) {
      if (opaque != 0) return v;
      continue;
    }
    VyoTextureInfo info{sizeof(info)};
    if (vyo_overlay_texture_info(overlay_, v->id, &info) != VYO_OK || lx >= static_cast<int>(info.width) ||
        ly >= static_cast<int>(info.height)) {
      continue;
    }
    if (v->pixels[(static_cast<size_t>(ly) * info.width + static_cast<size_t>(lx)) * 4 + 3] >= kOpaqueAlpha) return v;
  }
  return nullptr;
}

void Viewer::InputSent(const View* v) {
  if (!input_pending_) {
    input_pending_ = true;
    input_view_ = v->id;
    input_at_ = Clock::now();
  }
}

void Viewer::SendPointer(View* v, uint32_t kind, int x, int y, uint32_t buttons, int wheel) {
  VyoInput in{sizeof(in)};
  in.view_id = v->id;
  in.kind = kind;
  in.x = x - v->rect.x;
  in.y = y - v->rect.y;
  in.buttons = buttons;
  in.wheel = wheel;
  if (vyo_overlay_send_input(overlay_, &in) == VYO_OK) InputSent(v);
}

void Viewer::SendKey(const SDL_KeyboardEvent& key, bool down) {
  if (focus_ == nullptr) return;
  const uint16_t mod = key.keysym.mod;
  uint32_t vk = VirtualKey(key.keysym.sym);
  // With Ctrl or Alt a letter or digit is a shortcut, not text: it goes as a key.
  if (vk == 0 && (mod & (KMOD_CTRL | KMOD_ALT)) != 0 && key.keysym.sym < 128 && std::isalnum(key.keysym.sym)) {
    vk = static_cast<uint32_t>(std::toupper(key.keysym.sym));
  }
  if (vk == 0) return;
  VyoInput in{sizeof(in)};
  in.view_id = focus_->id;
  in.kind = down ? VYO_IN_KEYDOWN : VYO_IN_KEYUP;
  in.key = vk;
  in.scan_code = static_cast<uint32_t>(key.keysym.scancode) & 0xFF;
  in.repeat = key.repeat;
  in.modifiers = Modifiers(mod);
  if (vyo_overlay_send_input(overlay_, &in) == VYO_OK) InputSent(focus_);
}

void Viewer::SendText(const char* text) {
  if (focus_ == nullptr || text == nullptr || text[0] == '\0') return;
  VyoInput in{sizeof(in)};
  in.view_id = focus_->id;
  in.kind = VYO_IN_TEXT;
  in.text = text;
  if (vyo_overlay_send_input(overlay_, &in) == VYO_OK) {
    InputSent(focus_);
    std::printf("viewer: text to view %u: %s\n", focus_->id, text);
  }
}

void Viewer::ApplyCursor(View* v) {
  const uint32_t id = v != nullptr ? v->cursor : 32512;
  if (id == shown_cursor_) return;
  SDL_Cursor*& cursor = cursors_[id];
  if (cursor == nullptr) cursor = SDL_CreateSystemCursor(SystemCursorFor(id));
  if (cursor != nullptr) SDL_SetCursor(cursor);
  shown_cursor_ = id;
}

void Viewer::HandleEvent(const SDL_Event& e) {
  switch (e.type) {
    case SDL_QUIT:
      std::printf("viewer: window closed\n");
      running_ = false;
      break;
    case SDL_MOUSEMOTION: {
      View* target = captured_ != nullptr ? captured_ : ViewAt(e.motion.x, e.motion.y);
      if (hovered_ != nullptr && hovered_ != target) SendPointer(hovered_, VYO_IN_MOUSELEAVE, e.motion.x, e.motion.y, 0);
      hovered_ = target;
      if (target != nullptr) {
        uint32_t buttons = 0;
        if ((e.motion.state & SDL_BUTTON_LMASK) != 0) buttons |= VYO_BUTTON_LEFT;
        if ((e.motion.state & SDL_BUTTON_RMASK) != 0) buttons |= VYO_BUTTON_RIGHT;
        if ((e.motion.state & SDL_BUTTON_MMASK) != 0) buttons |= VYO_BUTTON_MIDDLE;
        SendPointer(target, VYO_IN_MOUSEMOVE, e.motion.x, e.motion.y, buttons);
      }
      ApplyCursor(target);
      break;
    }
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
      const bool down = e.type == SDL_MOUSEBUTTONDOWN;
      const uint8_t b = e.button.button;
      const uint32_t kind = b == SDL_BUTTON_RIGHT    ? (down ? VYO_IN_RBUTTONDOWN : VYO_IN_RBUTTONUP)
                            : b == SDL_BUTTON_MIDDLE ? (down ? VYO_IN_MBUTTONDOWN : VYO_IN_MBUTTONUP)
                                                     : (down ? VYO_IN_LBUTTONDOWN : VYO_IN_LBUTTONUP);
      const uint32_t flag = b == SDL_BUTTON_RIGHT ? VYO_BUTTON_RIGHT : b == SDL_BUTTON_MIDDLE ? VYO_BUTTON_MIDDLE : VYO_BUTTON_LEFT;
      View* target = captured_ != nullptr ? captured_ : ViewAt(e.button.x, e.button.y);
      if (target == nullptr) {
        if (down) {
          marks_.push_back(SDL_Point{e.button.x, e.button.y});
          if (marks_.size() > 64) marks_.erase(marks_.begin());
          std::printf("viewer: scene click at %d,%d\n", e.button.x, e.button.y);
          if (focus_ != nullptr) vyo_overlay_focus_clear(overlay_);
          focus_ = nullptr;
          SDL_StopTextInput();
        }
        break;
      }
      if (down) {
        captured_ = target;
        if (focus_ != target) vyo_overlay_view_set_focus(overlay_, target->id);
        focus_ = target;
        SDL_Rect caret{e.button.x, e.button.y, 1, 20};
        SDL_SetTextInputRect(&caret);
        SDL_StartTextInput();
        std::printf("viewer: click into view %u at %d,%d\n", target->id, e.button.x - target->rect.x,
                    e.button.y - target->rect.y);
      }
      SendPointer(target, kind, e.button.x, e.button.y, down ? flag : 0);
      if (!down && SDL_GetMouseState(nullptr, nullptr) == 0) captured_ = nullptr;
      break;
    }
    case SDL_MOUSEWHEEL: {
      int x = 0, y = 0;
      SDL_GetMouseState(&x, &y);
      if (View* target = ViewAt(x, y)) SendPointer(target, VYO_IN_MOUSEWHEEL, x, y, 0, e.wheel.y * 120);
      break;
    }
    case SDL_TEXTEDITING:
      composition_ = e.edit.text;
      break;
    case SDL_TEXTINPUT:
      composition_.clear();
      SendText(e.text.text);
      break;
    case SDL_KEYDOWN:
    case SDL_KEYUP:
      if (e.key.keysym.sym == SDLK_ESCAPE && e.key.repeat == 0) {
        escape_held_ = e.type == SDL_KEYDOWN;
        escape_down_ = Clock::now();
      }
      SendKey(e.key, e.type == SDL_KEYDOWN);
      break;
    default:
      break;
  }
}

void Viewer::ReadHost() {
  VyoHostMessage m{sizeof(m)};
  // A bounded number per frame, so that a flood of messages cannot stall the window.
  for (int i = 0; i < 256; ++i) {
    const int32_t status = vyo_overlay_poll(overlay_, 0, &m);
    if (status == VYO_E_TIMEOUT) return;
    if (status != VYO_OK) {
      std::printf("viewer: the host has gone away (%s)\n", vyo_overlay_last_error());
      host_gone_ = true;
      running_ = false;
      return;
    }
    if (m.type == VYO_MSG_CURSOR_CHANGED) {
      if (View* v = FindView(m.id)) {
        v->cursor = m.value;
        if (v == hovered_) {
          shown_cursor_ = 0;
          ApplyCursor(v);
        }
      }
    } else if (m.type == VYO_MSG_VIEW_STATUS) {
      std::printf("viewer: view %u status %u%s\n", m.id, m.value, m.value == 1 ? " (the browser failed)" : "");
    }
  }
}

void Viewer::ReadFrames() {
  for (View& v : views_) {
    VyoTextureInfo info{sizeof(info)};
    if (vyo_overlay_texture_info(overlay_, v.id, &info) != VYO_OK) continue;
    if (info.serial != v.serial || v.texture == nullptr) {
      if (v.texture != nullptr) SDL_DestroyTexture(v.texture);
      v.texture = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC,
                                    static_cast<int>(info.width), static_cast<int>(info.height));
      if (v.texture == nullptr) continue;
      SDL_SetTextureBlendMode(v.texture, SDL_BLENDMODE_BLEND);
      v.serial = info.serial;
      v.pixels.assign(static_cast<size_t>(info.width) * info.height * 4, 0);
      v.scratch.resize(v.pixels.size());
      SDL_UpdateTexture(v.texture, nullptr, v.pixels.data(), static_cast<int>(info.width * 4));
    }
    VyoFrame f{sizeof(f)};
    if (vyo_overlay_read_frame(overlay_, v.id, v.pixels.data(), info.width * 4, info.width, info.height, &f) != VYO_OK ||
        !f.updated || f.w <= 0 || f.h <= 0) {
      continue;
    }
    // Only the rectangle the host rewrote: premultiplied to straight alpha, into the SDL texture.
    const size_t pitch = static_cast<size_t>(info.width) * 4, row_bytes = static_cast<size_t>(f.w) * 4;
    bool visible = false;
    for (int row = 0; row < f.h; ++row) {
      const uint8_t* src = v.pixels.data() + static_cast<size_t>(f.y + row) * pitch + static_cast<size_t>(f.x) * 4;
      uint8_t* dst = v.scratch.data() + static_cast<size_t>(row) * row_bytes;
      for (int col = 0; col < f.w; ++col, src += 4, dst += 4) {
        const uint32_t a = src[3];
        visible |= a != 0;
        for (int c = 0; c < 3; ++c) dst[c] = a == 0 ? 0 : static_cast<uint8_t>(std::min<uint32_t>(255, (src[c] * 255 + a / 2) / a));
        dst[3] = static_cast<uint8_t>(a);
      }
    }
    const SDL_Rect r{f.x, f.y, f.w, f.h};
    SDL_UpdateTexture(v.texture, &r, v.scratch.data(), static_cast<int>(row_bytes));
    ++v.frames_in_window;
    if (!v.shown && visible) {
      v.shown = true;
      std::printf("viewer: view %u shows the page\n", v.id);
    }
    if (input_pending_ && input_view_ == v.id) {
      latencies_ms_.push_back(std::chrono::duration<double, std::milli>(Clock::now() - input_at_).count());
      if (latencies_ms_.size() > 64) latencies_ms_.erase(latencies_ms_.begin());
      input_pending_ = false;
    }
  }
  const auto now = Clock::now();
  const double window = std::chrono::duration<double>(now - fps_window_).count();
  if (window >= 1.0) {
    for (View& v : views_) {
      v.fps = v.frames_in_window / window;
      v.frames_in_window = 0;
    }
    fps_window_ = now;
  }
}

void Viewer::DrawScene(double t) {
  // A game-like scene: a dark floor, a grid scrolling diagonally, shapes moving across.
  SDL_SetRenderDrawBlendMode(renderer_, SDL_BLENDMODE_NONE);
  SDL_SetRenderDrawColor(renderer_, 24, 44, 64, 255);
  SDL_RenderClear(renderer_);
  const int cell = 40, shift = static_cast<int>(t * 30.0) % cell;
  SDL_SetRenderDrawColor(renderer_, 52, 96, 128, 255);
  for (int x = shift - cell; x < options_.width; x += cell) SDL_RenderDrawLine(renderer_, x, 0, x, options_.height);
  for (int y = shift - cell; y < options_.height; y += cell) SDL_RenderDrawLine(renderer_, 0, y, options_.width, y);
  const SDL_Color colours[] = {{240, 160, 40, 255}, {60, 200, 90, 255}, {220, 60, 60, 255}, {240, 220, 80, 255}, {80, 160, 240, 255}};
  for (int i = 0; i < 5; ++i) {
    const double phase = t * (0.3 + 0.1 * i) + i * 1.3;
    const int size = 40 + 12 * i;
    const int x = static_cast<int>((0.5 + 0.45 * std::sin(phase)) * (options_.width - size));
    const int y = static_cast<int>((0.5 + 0.45 * std::cos(phase * 1.7)) * (options_.height - size));
    SDL_SetRenderDrawColor(renderer_, colours[i].r, colours[i].g, colours[i].b, 255);
    const SDL_Rect r{x, y, size, size};
    SDL_RenderFillRect(renderer_, &r);
  }
}

void Viewer::DrawText(int x, int y, const std::string& text, SDL_Color colour) {
  constexpr int kScale = 2;
  SDL_SetRenderDrawColor(renderer_, colour.r, colour.g, colour.b, colour.a);
  for (char c : text) {
    const auto it = Glyphs().find(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    if (it != Glyphs().end()) {
      const char* g = it->second;
      for (int i = 0; g[i] != '\0' && i < 15; ++i) {
        if (g[i] != '#') continue;
        const SDL_Rect px{x + (i % 3) * kScale, y + (i / 3) * kScale, kScale, kScale};
        SDL_RenderFillRect(renderer_, &px);
      }
    } else if (c != ' ') {
      const SDL_Rect box{x, y, 3 * kScale, 5 * kScale};
      SDL_RenderDrawRect(renderer_, &box);
    }
    x += 4 * kScale;
  }
}

void Viewer::Draw() {
  const double t = std::chrono::duration<double>(Clock::now() - start_).count();
  DrawScene(t);
  SDL_SetRenderDrawBlendMode(renderer_, SDL_BLENDMODE_NONE);
  SDL_SetRenderDrawColor(renderer_, kMark.r, kMark.g, kMark.b, kMark.a);
  for (const SDL_Point& p : marks_) {
    const SDL_Rect r{p.x - 7, p.y - 7, 14, 14};
    SDL_RenderFillRect(renderer_, &r);
  }
  std::vector<const View*> order;
  for (const View& v : views_) order.push_back(&v);
  std::stable_sort(order.begin(), order.end(), [](const View* a, const View* b) { return a->z < b->z; });
  for (const View* v : order) {
    if (v->texture != nullptr) SDL_RenderCopy(renderer_, v->texture, nullptr, &v->rect);
  }
  // The status line on a dark band at the bottom.
  SDL_SetRenderDrawBlendMode(renderer_, SDL_BLENDMODE_BLEND);
  SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 170);
  const SDL_Rect band{0, options_.height - 22, options_.width, 22};
  SDL_RenderFillRect(renderer_, &band);
  std::string line;
  char part[64];
  for (const View& v : views_) {
    std::snprintf(part, sizeof(part), "VIEW %u %.0f FPS   ", v.id, v.fps);
    line += part;
  }
  const double latency = Median(latencies_ms_);
  if (latency >= 0) {
    std::snprintf(part, sizeof(part), "INPUT LATENCY %.0f MS", latency);
  } else {
    std::snprintf(part, sizeof(part), "INPUT LATENCY -");
  }
  line += part;
  if (!composition_.empty()) line += "   COMPOSING: " + composition_;
  DrawText(8, options_.height - 16, line, SDL_Color{235, 235, 235, 255});
  SDL_RenderPresent(renderer_);
}

}  // namespace vyo::viewer
