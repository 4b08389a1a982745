/* The smallest module: it logs a greeting with its configuration and counts ticks. */
#include <stdio.h>

#include "vyo_module.h"

static const VyomServices* g_services;
static uint64_t g_ticks;

VYOM_EXPORT uint32_t VYOM_GetAbiVersion(void) { return VYOM_ABI_VERSION; }

VYOM_EXPORT int32_t VYOM_Initialize(const VyomServices* services, const VyomInitArgs* args) {
  char line[160];
  g_services = services;
  snprintf(line, sizeof line, "hello from module %u, config=%.*s", (unsigned)args->module_id,
           (int)(args->config_length > 100 ? 100 : args->config_length), args->config ? args->config : "");
  services->log(services->context, 1, line);
  return 1;
}

VYOM_EXPORT void VYOM_Tick(uint64_t now) {
  (void)now;
  ++g_ticks;
}

VYOM_EXPORT void VYOM_Shutdown(void) {
  char line[80];
  snprintf(line, sizeof line, "hello module done after %llu ticks", (unsigned long long)g_ticks);
  g_services->log(g_services->context, 1, line);
}
