/* The plug-in module interface of the overlay host: the C ABI a module library implements.
 *
 * A module is a shared library (a DLL on Windows, a .so on Linux) that exports the entry points
 * below with C linkage. The host calls every entry point on its main thread. The services table it
 * hands to VYOM_Initialize stays valid until the module is unloaded; its functions may be called
 * from any thread of the module: operations on views and messages are carried out on the host's
 * main thread in the order they were called, reads (now, surface size, login info) answer at once.
 *
 * Text: UTF-8 is `const char*`; UTF-16 is `vyom_char16` (wchar_t on Windows, char16_t on Linux, so
 * it is UTF-16 on both). Text the module passes in is read up to its NUL terminator, at most 1 MiB;
 * text the host passes out is NUL-terminated and its length (in bytes, without the NUL) is given.
 * The host copies everything it is given; the module keeps ownership of its buffers, and buffers
 * the host passes are valid only during the call.
 */
#ifndef VYO_MODULE_H_
#define VYO_MODULE_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#include <cstddef>
#if !defined(_WIN32)
typedef char16_t vyom_char16;
#else
typedef wchar_t vyom_char16;
#endif
extern "C" {
#else
#if defined(_WIN32)
typedef wchar_t vyom_char16;
#else
typedef uint16_t vyom_char16;
#endif
#endif

#if defined(_WIN32)
#define VYOM_EXPORT __declspec(dllexport)
#else
#define VYOM_EXPORT __attribute__((visibility("default")))
#endif

#define VYOM_ABI_VERSION 1u

/* View events passed to VYOM_OnViewEvent. */
#define VYOM_EVENT_FIRST_FRAME 1u        /* argument 0 */
#define VYOM_EVENT_NAVIGATION_DONE 2u    /* argument 0 on success, else the web error status */
#define VYOM_EVENT_VIEW_FAILED 3u        /* 1: the browser failed; 3: the view could not be created */
#define VYOM_EVENT_VIEW_DESTROYED 4u     /* argument 0 */
#define VYOM_EVENT_POPUP_CLOSED 5u       /* the player closed the popup */

#pragma pack(push, 8)

typedef struct VyomLoginInfo {
  uint32_t size; /* set by the caller: at least 16 */
  uint32_t reserved;
  int64_t qmr_id;
} VyomLoginInfo;

/* Valid only during VYOM_Initialize: copy what you need. */
typedef struct VyomInitArgs {
  uint32_t size; /* 40 */
  uint32_t module_id;
  const char* config; /* UTF-8, config_length bytes, NUL-terminated; null when empty */
  uint32_t config_length;
  uint32_t reserved0;
  const vyom_char16* module_folder; /* NUL-terminated; null when empty */
  uint32_t host_parent_pid;         /* the overlay's process id */
  uint32_t reserved1;
} VyomInitArgs;

typedef struct VyomServices {
  uint32_t size;    /* 192 */
  uint32_t version; /* 1 */
  void* context;    /* the first argument of every function below */
  uint32_t (*create_view)(void* ctx, const vyom_char16* url, int32_t x, int32_t y, int32_t width, int32_t height,
                          int32_t visible);
  void (*destroy_view)(void* ctx, uint32_t view);
  void (*set_view_rect)(void* ctx, uint32_t view, int32_t x, int32_t y, int32_t width, int32_t height);
  void (*set_view_visible)(void* ctx, uint32_t view, int32_t visible);
  void (*set_view_z_order)(void* ctx, uint32_t view, int32_t z);
  void (*set_relay_flag_a)(void* ctx, uint32_t view, int32_t on);
  void (*set_view_background)(void* ctx, uint32_t view, uint32_t argb);
  void (*set_view_frame_rate)(void* ctx, uint32_t view, int32_t fps);
  void (*navigate)(void* ctx, uint32_t view, const vyom_char16* url);
  void (*post_message)(void* ctx, uint32_t view, const char* utf8_json);
  void (*send_to_overlay)(void* ctx, const char* utf8_text);
  void (*log)(void* ctx, int32_t level, const char* utf8_text); /* 1 info, 2 warning, 3 error */
  uint64_t (*now)(void* ctx);                                    /* milliseconds since boot */
  void (*set_relay_flag_b)(void* ctx, uint32_t view, int32_t on);
  void (*set_hit_test)(void* ctx, uint32_t view, int32_t mode, int32_t alpha_threshold);
  int32_t (*get_surface_size)(void* ctx, int32_t* width, int32_t* height);
  void (*request_overlay_exit)(void* ctx);
  void (*request_full_frames)(void* ctx, int32_t milliseconds);
  int32_t (*get_login_info)(void* ctx, VyomLoginInfo* info);
  void (*set_full_refresh)(void* ctx, uint32_t view, int32_t on);
  uint32_t (*open_popup)(void* ctx, uint32_t popup_id, const vyom_char16* url, const char* utf8_title, int32_t x,
                         int32_t y, int32_t width, int32_t height);
  void (*close_popup)(void* ctx, uint32_t popup_id);
} VyomServices;

#pragma pack(pop)

/* Required exports. */
typedef uint32_t (*VyomGetAbiVersionFn)(void);                                       /* VYOM_GetAbiVersion */
typedef int32_t (*VyomInitializeFn)(const VyomServices* services, const VyomInitArgs* args); /* VYOM_Initialize */
typedef void (*VyomShutdownFn)(void);                                                /* VYOM_Shutdown */
/* Optional exports. */
typedef void (*VyomTickFn)(uint64_t now);                                            /* VYOM_Tick */
typedef void (*VyomOnHostMessageFn)(const char* text, uint32_t length);              /* VYOM_OnHostMessage */
typedef void (*VyomOnPageMessageFn)(uint32_t view, const char* text, uint32_t length); /* VYOM_OnPageMessage */
typedef void (*VyomOnViewEventFn)(uint32_t view, uint32_t event, uint32_t argument); /* VYOM_OnViewEvent */

#ifdef __cplusplus
}  // extern "C"
static_assert(sizeof(vyom_char16) == 2, "module text is UTF-16");
static_assert(sizeof(void*) == 8, "modules are 64-bit");
static_assert(sizeof(VyomLoginInfo) == 16 && offsetof(VyomLoginInfo, qmr_id) == 8, "login info layout");
static_assert(sizeof(VyomInitArgs) == 40, "init args layout");
static_assert(offsetof(VyomInitArgs, config) == 8 && offsetof(VyomInitArgs, config_length) == 16 &&
                  offsetof(VyomInitArgs, module_folder) == 24 && offsetof(VyomInitArgs, host_parent_pid) == 32,
              "init args layout");
static_assert(sizeof(VyomServices) == 192, "services table layout");
static_assert(offsetof(VyomServices, context) == 8 && offsetof(VyomServices, create_view) == 16 &&
                  offsetof(VyomServices, post_message) == 88 && offsetof(VyomServices, send_to_overlay) == 96 &&
                  offsetof(VyomServices, request_overlay_exit) == 144 && offsetof(VyomServices, get_login_info) == 160 &&
                  offsetof(VyomServices, close_popup) == 184,
              "services table layout");
#endif

#endif /* VYO_MODULE_H_ */
