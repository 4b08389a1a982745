/* A test module whose view asks for a hit mask: it opens its configured page ("url=..."), turns
 * hit testing on at threshold 128, and takes overlay messages: "on" and "off" switch hit testing,
 * anything else is posted to the page. Messages from the page go to the overlay. */
#include <string.h>

#include "vyo_module.h"

static const VyomServices* g_services;
static uint32_t g_view;

VYOM_EXPORT uint32_t VYOM_GetAbiVersion(void) { return VYOM_ABI_VERSION; }

VYOM_EXPORT int32_t VYOM_Initialize(const VyomServices* services, const VyomInitArgs* args) {
  vyom_char16 url[512];
  uint32_t i, length = 0;
  g_services = services;
  if (args->config == NULL || args->config_length <= 4 || memcmp(args->config, "url=", 4) != 0) return 0;
  length = args->config_length - 4;
  if (length > 511) length = 511;
  for (i = 0; i < length; ++i) url[i] = (vyom_char16)(unsigned char)args->config[4 + i];
  url[length] = 0;
  g_view = services->create_view(services->context, url, 0, 0, 320, 240, 1);
  if (g_view == 0) return 0;
  services->set_hit_test(services->context, g_view, 1, 128);
  return 1;
}

VYOM_EXPORT void VYOM_OnHostMessage(const char* text, uint32_t length) {
  if (g_view == 0) return;
  if (length == 2 && memcmp(text, "on", 2) == 0) {
    g_services->set_hit_test(g_services->context, g_view, 1, 128);
  } else if (length == 3 && memcmp(text, "off", 3) == 0) {
    g_services->set_hit_test(g_services->context, g_view, 0, 0);
  } else {
    g_services->post_message(g_services->context, g_view, text);
  }
}

VYOM_EXPORT void VYOM_OnPageMessage(uint32_t view, const char* text, uint32_t length) {
  (void)view;
  (void)length;
  g_services->send_to_overlay(g_services->context, text);
}

VYOM_EXPORT void VYOM_Shutdown(void) { g_view = 0; }
