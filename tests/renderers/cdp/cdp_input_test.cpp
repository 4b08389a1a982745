#include <gtest/gtest.h>

#include <cstdint>

#include <nlohmann/json.hpp>

#include "renderers/cdp/cdp_input.h"

namespace vyo::web::cdp {
namespace {

using Json = nlohmann::json;

TEST(CdpInput, ClicksAreCountedByTimeDistanceAndButton) {
  ClickCounter clicks;  // 500 ms, 4 px
  const struct {
    int32_t button, x, y;
    uint64_t at;
    int32_t count;
  } presses[] = {
      {1, 10, 10, 0, 1},    {1, 12, 13, 300, 2},  {1, 12, 13, 700, 3},  // a triple click
      {1, 12, 13, 900, 1},                                              // a series ends after three
      {1, 17, 13, 1000, 1},                                             // too far
      {1, 17, 13, 1600, 1},                                             // too late
      {3, 17, 13, 1700, 1},                                             // another button
      // Positions at the ends of 32 bits: far apart, and no overflow working that out.
      {1, INT32_MIN, INT32_MIN, 2000, 1},   {1, INT32_MAX, INT32_MAX, 2100, 1},
      {1, INT32_MAX, INT32_MAX, 2200, 2},
  };
  for (const auto& p : presses) EXPECT_EQ(clicks.Press(p.button, p.x, p.y, p.at), p.count) << p.at;
  EXPECT_EQ(clicks.Release(3), 1);
}

TEST(CdpInput, MouseEventParameters) {
  ClickCounter clicks;
  const auto params = [&](int32_t kind, uint32_t keys, int32_t data, int32_t x, int32_t y, double factor = 1.0) {
    auto text = MouseEventParams(kind, keys, data, x, y, factor, clicks, 0);
    return text ? Json::parse(*text) : Json();
  };
  Json down = params(0x201, 0x1 | 0x8, 0, 100, 50, 2.0);  // left down with Ctrl, zoom 2
  EXPECT_EQ(down["type"], "mousePressed");
  EXPECT_EQ(down["button"], "left");
  EXPECT_EQ(down["buttons"], 1);
  EXPECT_EQ(down["modifiers"], 2);
  EXPECT_EQ(down["x"], 50.0);
  EXPECT_EQ(down["clickCount"], 1);
  // The overlay's double-click record is the second press of a series.
  EXPECT_EQ(params(0x203, 0x1, 0, 100, 50, 2.0)["clickCount"], 2);
  EXPECT_EQ(params(0x202, 0, 0, 100, 50, 2.0)["clickCount"], 2);
  Json wheel = params(0x20A, 0, -120, 5, 5);
  EXPECT_EQ(wheel["type"], "mouseWheel");
  EXPECT_EQ(wheel["deltaY"], 120);
  EXPECT_EQ(params(0x20E, 0, 120, 5, 5)["deltaX"], 120);
  Json leave = params(0x2A3, 0, 0, 7, 7);
  EXPECT_EQ(leave["type"], "mouseMoved");
  EXPECT_EQ(leave["x"], -1.0);
  EXPECT_EQ(params(0x20B, 0x40, 2, 1, 1)["button"], "forward");
  EXPECT_EQ(params(0x20B, 0x20, 1, 1, 1)["button"], "back");
  EXPECT_FALSE(MouseEventParams(0x100, 0, 0, 0, 0, 1.0, clicks, 0));
}

}  // namespace
}  // namespace vyo::web::cdp
