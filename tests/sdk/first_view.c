/* Starts the host, shows a page in a view, reads one frame that shows it, clicks, stops the host.
 *   first_view HOST_PATH URL      exit 0 on success, 77 when the machine has no browser */
#include <stdio.h>
#include <time.h>
#include <vyo_overlay.h>
static uint8_t pixels[640 * 480 * 4];
int main(int argc, char** argv) {
  VyoOverlayConfig config = {sizeof(VyoOverlayConfig), VYO_OVERLAY_API_VERSION, "first", 0, 0};
  VyoOverlay* ov = NULL;
  VyoHostMessage msg = {sizeof(VyoHostMessage)};
  VyoFrame frame = {sizeof(VyoFrame)};
  uint32_t visible = 0, code = 1;
  if (argc < 3 || vyo_overlay_create(&config, &ov) || vyo_overlay_start_host(ov, argv[1], 10000) ||
      vyo_overlay_view_create(ov, 1, 0, 0, 640, 480, 1, argv[2]))
    return fprintf(stderr, "first_view: %s\n", vyo_overlay_last_error()), 1;
  for (time_t end = time(NULL) + 60; visible == 0 && time(NULL) < end;) {
    if (vyo_overlay_poll(ov, 10, &msg) == VYO_OK && msg.type == VYO_MSG_VIEW_STATUS && msg.value == 1)
      return puts("first_view: no browser on this machine, skipped"), vyo_overlay_destroy(ov), 77;
    if (vyo_overlay_read_frame(ov, 1, pixels, 640 * 4, 640, 480, &frame) == VYO_OK && frame.updated)
      for (size_t i = 3; i < sizeof(pixels); i += 4) visible += pixels[i] != 0;
  }
  int clicked = vyo_overlay_click(ov, 1, 100, 100), stopped = vyo_overlay_stop_host(ov, 10000, &code);
  printf("first_view: %u visible pixels, click %d, host exit %u\n", visible, clicked, code);
  vyo_overlay_destroy(ov);
  return visible > 1000 && clicked == VYO_OK && stopped == VYO_OK && code == 0 ? 0 : 1;
}
