/* A module with a view of its own: it opens its configured page ("url=..." in its configuration,
 * about:blank otherwise) and carries messages both ways: a message from the overlay is posted to
 * the page, and a message from the page is sent back to the overlay. It also tells the overlay when
 * its view shows its first frame and when a navigation of it completes. */
#include <stdio.h>
#include <string.h>

#include "vyo_module.h"

static const VyomServices* g_services;
static uint32_t g_view;

VYOM_EXPORT uint32_t VYOM_GetAbiVersion(void) { return VYOM_ABI_VERSION; }

VYOM_EXPORT int32_t VYOM_Initialize(const VyomServices* services, const VyomInitArgs* args) {
  vyom_char16 url[512];
  const char* text = "about:blank";
  uint32_t length = 11;
  uint32_t i;
  g_services = services;
  if (args->config != NULL && args->config_length > 4 && memcmp(args->config, "url=", 4) == 0) {
    text = args->config + 4;
    length = args->config_length - 4;
  }
  if (length > 511) length = 511;
  for (i = 0; i < length; ++i) url[i] = (vyom_char16)(unsigned char)text[i]; /* URLs are ASCII */
  url[length] = 0;
  g_view = services->create_view(services->context, url, 0, 0, 640, 360, 1);
  return g_view != 0;
}

VYOM_EXPORT void VYOM_OnHostMessage(const char* text, uint32_t length) {
  (void)length;
  if (g_view != 0) g_services->post_message(g_services->context, g_view, text);
}

VYOM_EXPORT void VYOM_OnPageMessage(uint32_t view, const char* text, uint32_t length) {
  (void)view;
  (void)length;
  g_services->send_to_overlay(g_services->context, text);
}

VYOM_EXPORT void VYOM_OnViewEvent(uint32_t view, uint32_t event, uint32_t argument) {
  char text[64];
  if (view != g_view) return;
  if (event == VYOM_EVENT_VIEW_DESTROYED) {
    g_view = 0;
    return;
  }
  if (event == VYOM_EVENT_FIRST_FRAME || event == VYOM_EVENT_NAVIGATION_DONE) {
    snprintf(text, sizeof text, "{\"event\":%u,\"argument\":%u}", (unsigned)event, (unsigned)argument);
    g_services->send_to_overlay(g_services->context, text);
  }
}

VYOM_EXPORT void VYOM_Shutdown(void) { g_view = 0; }
