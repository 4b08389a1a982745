/* The overlay SDK: the C interface a game (or any overlay process) uses to drive the overlay host.
 *
 * One VyoOverlay object is one session with one host process. It creates the objects the overlay
 * owns (input ring, input event, beat map) under names unique to the process, starts the host with
 * the right command line (or attaches to a host started elsewhere with vyo_overlay_host_args),
 * sends every overlay command over the pipe, hands host messages out by poll and/or callback,
 * reads each view's shared texture the way the host publishes it (keyed-mutex word, header,
 * DirtyMap sequence, partial copies), reads hit masks (trusted while the host's hit-mask heartbeat
 * is fresh), writes input records (pointer, keys, text) and signals the input event, and reads the
 * host's beat map.
 *
 * Rules of the interface:
 *  - Every function returns a status (VYO_OK = 0, anything else names what went wrong); when it is
 *    not VYO_OK, vyo_overlay_last_error() gives a one-line message for the calling thread, valid
 *    until that thread's next call into the library. No C++ exception ever leaves the library.
 *  - Every wait takes a deadline in milliseconds; nothing waits for ever.
 *  - Text passed in is UTF-8, NUL-terminated; it is converted to the protocol's UTF-16 inside.
 *  - Structures carry their size in their first field: the caller sets it to sizeof(the struct)
 *    it was compiled with; the library refuses sizes smaller than the version-1 layout and fills
 *    no more than the caller's size.
 *  - VyoOverlayConfig.version must be VYO_OVERLAY_API_VERSION (vyo_overlay_create checks it); a
 *    program can also compare vyo_overlay_api_version() with the constant it was built with.
 *  - One VyoOverlay is used from one thread at a time (the caller serialises); separate objects
 *    are independent. Callbacks run on the thread that called vyo_overlay_poll.
 *
 * Textures. On Linux a view's texture is the host CPU device's named shared memory
 * ("/vyo.tex.<16 hex digits of the shared handle>": a 32-byte header, then premultiplied BGRA
 * rows), and vyo_overlay_read_frame copies what changed into the caller's buffer. On Windows the
 * host shares a Direct3D 11 texture with a keyed mutex (acquire key 1, release key 0); the Windows
 * build of this library does not open it (there is no Direct3D device in the library, and Wine,
 * where the Windows build is tested, has no shared handles): vyo_overlay_read_frame returns
 * VYO_E_UNSUPPORTED there. Everything else works on both: the texture's handle and size
 * (vyo_overlay_texture_info) for the game's own device, the DirtyMap (vyo_overlay_read_dirty), hit
 * masks, input, beat map and every pipe message.
 */
#ifndef VYO_OVERLAY_H_
#define VYO_OVERLAY_H_

#include <stddef.h>
#include <stdint.h>

#if defined(VYO_OVERLAY_STATIC)
#define VYO_OVERLAY_API
#elif defined(_WIN32)
#if defined(VYO_OVERLAY_BUILDING)
#define VYO_OVERLAY_API __declspec(dllexport)
#else
#define VYO_OVERLAY_API __declspec(dllimport)
#endif
#else
#define VYO_OVERLAY_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define VYO_OVERLAY_API_VERSION 1u

/* Status codes. */
#define VYO_OK 0
#define VYO_E_ARGUMENT 1     /* a null pointer, a struct size too small, a bad value */
#define VYO_E_VERSION 2      /* the caller was built for another version of this interface */
#define VYO_E_SYSTEM 3       /* an operating-system object could not be created or opened */
#define VYO_E_START 4        /* the host program could not be started */
#define VYO_E_TIMEOUT 5      /* nothing happened before the deadline (not a failure for poll) */
#define VYO_E_DISCONNECTED 6 /* the pipe is closed or the host has gone away */
#define VYO_E_NOT_FOUND 7    /* no such view, texture, hit mask or heartbeat */
#define VYO_E_BUSY 8         /* the host holds the texture or is writing the mask: try again later */
#define VYO_E_FULL 9         /* the input ring has no free slot */
#define VYO_E_PROTOCOL 10    /* the host sent a frame that does not follow the wire format */
#define VYO_E_STATE 11       /* the call does not fit the session's state (no host, not connected) */
#define VYO_E_UNSUPPORTED 12 /* not available in this build (texture reading on Windows) */
#define VYO_E_INTERNAL 13    /* out of memory or another failure inside the library */

/* Host-to-overlay message types (VyoHostMessage.type). */
#define VYO_MSG_SHARED_TEXTURE_READY 100u
#define VYO_MSG_PAGE_MESSAGE 101u
#define VYO_MSG_CURSOR_CHANGED 102u
#define VYO_MSG_HOST_LOG 103u
#define VYO_MSG_VIEW_STATUS 104u
#define VYO_MSG_BUTTON_ATLAS_READY 105u
#define VYO_MSG_MODULE_STATUS 106u
#define VYO_MSG_MODULE_OUTPUT 107u
#define VYO_MSG_VIEW_CREATED 108u
#define VYO_MSG_VIEW_CHANGED 109u
#define VYO_MSG_HOST_HELLO 110u
#define VYO_MSG_VIEW_DESTROYED 111u
#define VYO_MSG_EXIT_REQUEST 112u
#define VYO_MSG_ENVIRONMENT_RESULT 113u
#define VYO_MSG_INPUT_FOCUS_CHANGED 114u
#define VYO_MSG_NATIVE_BUTTON_EVENT 115u
#define VYO_MSG_POPUP_STATE 116u
#define VYO_MSG_WINDOWED_RENDER_STATE 118u
#define VYO_MSG_HIT_MASK_HEARTBEAT 119u
#define VYO_MSG_SELECTION_CHANGED 120u

/* Input record kinds (VyoInput.kind): Windows message numbers and the custom text kind. */
#define VYO_IN_KEYDOWN 0x0100u
#define VYO_IN_KEYUP 0x0101u
#define VYO_IN_CHAR 0x0102u
#define VYO_IN_SYSKEYDOWN 0x0104u
#define VYO_IN_SYSKEYUP 0x0105u
#define VYO_IN_MOUSEMOVE 0x0200u
#define VYO_IN_LBUTTONDOWN 0x0201u
#define VYO_IN_LBUTTONUP 0x0202u
#define VYO_IN_RBUTTONDOWN 0x0204u
#define VYO_IN_RBUTTONUP 0x0205u
#define VYO_IN_MBUTTONDOWN 0x0207u
#define VYO_IN_MBUTTONUP 0x0208u
#define VYO_IN_MOUSEWHEEL 0x020Au
#define VYO_IN_MOUSELEAVE 0x02A3u
#define VYO_IN_TEXT 0x10003u
/* Button flags of pointer records (VyoInput.buttons). */
#define VYO_BUTTON_LEFT 0x01u
#define VYO_BUTTON_RIGHT 0x02u
#define VYO_BUTTON_SHIFT 0x04u
#define VYO_BUTTON_CONTROL 0x08u
#define VYO_BUTTON_MIDDLE 0x10u
/* Modifier bits of key records (VyoInput.modifiers). */
#define VYO_MOD_ALT 1u
#define VYO_MOD_CTRL 2u
#define VYO_MOD_META 4u
#define VYO_MOD_SHIFT 8u

/* VyoOverlayConfig.flags */
#define VYO_OVERLAY_NO_BEAT_MAP 1u /* create no beat map and pass no --beat-map */

typedef struct VyoOverlay VyoOverlay;

#pragma pack(push, 8)

typedef struct VyoOverlayConfig {
  uint32_t size;       /* sizeof(VyoOverlayConfig) */
  uint32_t version;    /* VYO_OVERLAY_API_VERSION */
  const char* tag;     /* a word in the objects' names (letters, digits, '_', '-', '.'); null: "overlay" */
  uint32_t flags;      /* VYO_OVERLAY_* */
  uint32_t parent_pid; /* the process the host watches (--parent-pid); 0: this process */
} VyoOverlayConfig;

/* The names of the session's objects, valid while the VyoOverlay lives. */
typedef struct VyoOverlayNames {
  uint32_t size; /* sizeof(VyoOverlayNames) */
  uint32_t reserved;
  const char* pipe;
  const char* input_map;
  const char* input_event;
  const char* beat_map; /* "" without a beat map */
} VyoOverlayNames;

/* One host message. `payload` is valid until the next vyo_overlay_poll on the same object. */
typedef struct VyoHostMessage {
  uint32_t size; /* sizeof(VyoHostMessage) */
  uint32_t type; /* VYO_MSG_* (other values may come from newer hosts) */
  const uint8_t* payload;
  uint32_t length;
  /* Decoded for convenience: the first u32 of the payload (the view or module id of most messages)
   * and the second (cursor id, status code, focus state, event ...); 0 when the payload is shorter. */
  uint32_t id;
  uint32_t value;
  uint32_t text_length; /* bytes of UTF-8 text at `text` (HostLog, PageMessage, ModuleOutput,
                           ModuleStatus, EnvironmentResult) */
  const char* text;     /* not NUL-terminated; null when the message has no text */
} VyoHostMessage;

typedef void (*VyoHostMessageFn)(void* context, const VyoHostMessage* message);

/* A view's shared texture as the last SharedTextureReady announced it. */
typedef struct VyoTextureInfo {
  uint32_t size; /* sizeof(VyoTextureInfo) */
  uint32_t view_id;
  uint32_t width, height;
  uint32_t format;        /* 87: B8G8R8A8, premultiplied alpha */
  uint32_t serial;        /* counts this view's SharedTextureReady messages (a new one = resized) */
  uint64_t shared_handle; /* the handle the host shared (a D3D shared handle on Windows) */
} VyoTextureInfo;

/* What the DirtyMap says the host's last update rewrote. */
typedef struct VyoDirty {
  uint32_t size; /* sizeof(VyoDirty) */
  uint32_t seq;  /* grows by one per update; 0 before the first */
  uint32_t full; /* 1: the whole texture */
  int32_t x, y, w, h;
} VyoDirty;

/* The result of vyo_overlay_read_frame. */
typedef struct VyoFrame {
  uint32_t size; /* sizeof(VyoFrame) */
  uint32_t view_id;
  uint32_t width, height;
  uint32_t updated; /* 1 when this call copied a new update into the buffer, else 0 */
  uint32_t full;    /* 1 when it copied the whole texture */
  int32_t x, y, w, h; /* the rectangle copied (clamped to the texture) */
  uint32_t seq;       /* the DirtyMap sequence number of the copy */
  uint32_t serial;    /* VyoTextureInfo.serial of the texture read */
} VyoFrame;

/* A consistent copy of a view's hit mask; `cells` (cols x rows bytes, the highest alpha of each
 * cell) is valid until the next vyo_overlay_read_hit_mask of that view. */
typedef struct VyoHitMask {
  uint32_t size; /* sizeof(VyoHitMask) */
  uint32_t view_id;
  uint32_t seq, cols, rows, cell, threshold;
  uint32_t reserved;
  const uint8_t* cells;
} VyoHitMask;

/* The host's beat map: counters grow, so progress shows as a change between two readings. */
typedef struct VyoBeat {
  uint32_t size; /* sizeof(VyoBeat) */
  uint32_t frame_counter, last_frame_tick, stage, stage_counter, stage_tick, detail;
} VyoBeat;

/* One input record. Pointer kinds use x, y (view pixels), buttons and wheel; key kinds use
 * key (virtual-key code, or the character for VYO_IN_CHAR), scan_code, extended, repeat and
 * modifiers; VYO_IN_TEXT uses text (UTF-8; more than 129 UTF-16 units are sent as several records). */
typedef struct VyoInput {
  uint32_t size; /* sizeof(VyoInput) */
  uint32_t view_id;
  uint32_t kind; /* VYO_IN_* (any other value is written as given) */
  int32_t x, y;
  uint32_t buttons;
  int32_t wheel; /* wheel delta (120 a notch) */
  uint32_t key, scan_code, extended, repeat, modifiers;
  const char* text;
} VyoInput;

#pragma pack(pop)

/* ---- Version, errors */
VYO_OVERLAY_API uint32_t vyo_overlay_api_version(void);
/* The message of the calling thread's last failed call ("" when none). */
VYO_OVERLAY_API const char* vyo_overlay_last_error(void);
/* "VYO_OK", "VYO_E_TIMEOUT", ... ("unknown" for other values). */
VYO_OVERLAY_API const char* vyo_overlay_status_name(int32_t status);

/* ---- Session */
/* Creates the input ring, the input event and (unless VYO_OVERLAY_NO_BEAT_MAP) the beat map. */
VYO_OVERLAY_API int32_t vyo_overlay_create(const VyoOverlayConfig* config, VyoOverlay** out);
/* Closes the pipe, gives a started host up to 5 s to exit, then ends it; frees everything. */
VYO_OVERLAY_API void vyo_overlay_destroy(VyoOverlay* overlay);
VYO_OVERLAY_API int32_t vyo_overlay_get_names(VyoOverlay* overlay, VyoOverlayNames* names);
/* The host's command line for this session, without the program (UTF-8, valid while `overlay`
 * lives): what a game that starts the host itself passes before calling vyo_overlay_connect. */
VYO_OVERLAY_API int32_t vyo_overlay_host_args(VyoOverlay* overlay, const char* const** argv, uint32_t* argc);
/* Starts the host (`host_path` UTF-8; null: "FenyraOverlayHost" beside the running executable)
 * with vyo_overlay_host_args and connects to its pipe within `timeout_ms`. */
VYO_OVERLAY_API int32_t vyo_overlay_start_host(VyoOverlay* overlay, const char* host_path, uint32_t timeout_ms);
/* Starts `host_path` with exactly `argv` (e.g. a command line the host must refuse); no connect. */
VYO_OVERLAY_API int32_t vyo_overlay_spawn_host(VyoOverlay* overlay, const char* host_path, const char* const* argv,
                                               uint32_t argc);
/* Connects to the pipe of a host started by vyo_overlay_spawn_host or by someone else (attach). */
VYO_OVERLAY_API int32_t vyo_overlay_connect(VyoOverlay* overlay, uint32_t timeout_ms);
/* 1 while the pipe is open and the host has not gone away. */
VYO_OVERLAY_API int32_t vyo_overlay_connected(VyoOverlay* overlay);
/* Closes the pipe: the host ends its session and exits with 0. */
VYO_OVERLAY_API int32_t vyo_overlay_close(VyoOverlay* overlay);
/* Waits up to `timeout_ms` for a host this object started to exit; its exit status in *code. */
VYO_OVERLAY_API int32_t vyo_overlay_wait_host_exit(VyoOverlay* overlay, uint32_t timeout_ms, uint32_t* code);
/* vyo_overlay_close, then vyo_overlay_wait_host_exit; a host still running at the deadline is
 * ended and VYO_E_TIMEOUT returned. */
VYO_OVERLAY_API int32_t vyo_overlay_stop_host(VyoOverlay* overlay, uint32_t timeout_ms, uint32_t* code);
VYO_OVERLAY_API int32_t vyo_overlay_kill_host(VyoOverlay* overlay);
/* The started host's process id (0 when none). */
VYO_OVERLAY_API uint32_t vyo_overlay_host_pid(VyoOverlay* overlay);

/* ---- Host messages */
/* The next host message within `timeout_ms` (0: only one already there). VYO_E_TIMEOUT when none
 * came, VYO_E_DISCONNECTED once the host has gone. SharedTextureReady and HitMaskHeartbeat are
 * also taken into the session's own state (textures, heartbeat) before they are handed out. */
VYO_OVERLAY_API int32_t vyo_overlay_poll(VyoOverlay* overlay, uint32_t timeout_ms, VyoHostMessage* message);
/* Reads every message that arrives within `timeout_ms` (a fixed span: the heartbeat never lets
 * the pipe go quiet), handing each to the callback; the number read in *count (may be null). */
VYO_OVERLAY_API int32_t vyo_overlay_pump(VyoOverlay* overlay, uint32_t timeout_ms, uint32_t* count);
/* Called for every message vyo_overlay_poll or vyo_overlay_pump reads (null: none). */
VYO_OVERLAY_API int32_t vyo_overlay_set_callback(VyoOverlay* overlay, VyoHostMessageFn callback, void* context);
/* A one-line description of a message ("SharedTextureReady view=1 800x600 ..."), NUL-terminated,
 * cut to `capacity`. */
VYO_OVERLAY_API int32_t vyo_overlay_describe_message(const VyoHostMessage* message, char* out, uint32_t capacity);

/* ---- Commands (type codes in docs/protocol.md); URLs and texts UTF-8 */
VYO_OVERLAY_API int32_t vyo_overlay_view_create(VyoOverlay* overlay, uint32_t view_id, int32_t x, int32_t y,
                                                int32_t width, int32_t height, int32_t visible, const char* url);
VYO_OVERLAY_API int32_t vyo_overlay_view_destroy(VyoOverlay* overlay, uint32_t view_id);
VYO_OVERLAY_API int32_t vyo_overlay_view_set_rect(VyoOverlay* overlay, uint32_t view_id, int32_t x, int32_t y,
                                                  int32_t width, int32_t height);
VYO_OVERLAY_API int32_t vyo_overlay_view_set_visible(VyoOverlay* overlay, uint32_t view_id, int32_t visible);
VYO_OVERLAY_API int32_t vyo_overlay_view_navigate(VyoOverlay* overlay, uint32_t view_id, const char* url);
VYO_OVERLAY_API int32_t vyo_overlay_view_post_message(VyoOverlay* overlay, uint32_t view_id, const char* json);
VYO_OVERLAY_API int32_t vyo_overlay_view_set_focus(VyoOverlay* overlay, uint32_t view_id);
VYO_OVERLAY_API int32_t vyo_overlay_focus_clear(VyoOverlay* overlay);
VYO_OVERLAY_API int32_t vyo_overlay_view_set_frame_rate(VyoOverlay* overlay, uint32_t view_id, uint32_t fps);
VYO_OVERLAY_API int32_t vyo_overlay_view_set_background(VyoOverlay* overlay, uint32_t view_id, uint32_t argb);
VYO_OVERLAY_API int32_t vyo_overlay_view_full_frame_mode(VyoOverlay* overlay, uint32_t view_id, int32_t on);
VYO_OVERLAY_API int32_t vyo_overlay_view_live_mode(VyoOverlay* overlay, uint32_t view_id, int32_t on);
VYO_OVERLAY_API int32_t vyo_overlay_view_set_z_order(VyoOverlay* overlay, uint32_t view_id, int32_t z);
VYO_OVERLAY_API int32_t vyo_overlay_telemetry_context(VyoOverlay* overlay, const char* text);
VYO_OVERLAY_API int32_t vyo_overlay_telemetry_upload(VyoOverlay* overlay, const uint8_t* bytes, uint32_t length);
VYO_OVERLAY_API int32_t vyo_overlay_native_button_create(VyoOverlay* overlay, uint32_t view_id, int32_t width,
                                                         int32_t height, int32_t visible, const char* normal,
                                                         const char* hover, const char* pressed);
VYO_OVERLAY_API int32_t vyo_overlay_native_button_event(VyoOverlay* overlay, uint32_t view_id, uint32_t event);
VYO_OVERLAY_API int32_t vyo_overlay_module_message(VyoOverlay* overlay, uint32_t module_id, const char* text);
VYO_OVERLAY_API int32_t vyo_overlay_surface_info(VyoOverlay* overlay, uint32_t width, uint32_t height);
VYO_OVERLAY_API int32_t vyo_overlay_set_presentation_mode(VyoOverlay* overlay, uint32_t mode, uint32_t graphics_api,
                                                          uint64_t game_window, uint32_t game_pid);
VYO_OVERLAY_API int32_t vyo_overlay_popup_place(VyoOverlay* overlay, uint32_t view_id, int32_t x, int32_t y);
/* Any frame: the 16-byte header for `type` and `length`, then the payload. */
VYO_OVERLAY_API int32_t vyo_overlay_send_frame(VyoOverlay* overlay, uint32_t type, const uint8_t* payload,
                                               uint32_t length);
/* One pipe message of any bytes (for testing the host with malformed frames). */
VYO_OVERLAY_API int32_t vyo_overlay_send_raw(VyoOverlay* overlay, const uint8_t* bytes, uint32_t length);

/* ---- Textures and frames */
/* VYO_E_NOT_FOUND until the view's SharedTextureReady has been polled. */
VYO_OVERLAY_API int32_t vyo_overlay_texture_info(VyoOverlay* overlay, uint32_t view_id, VyoTextureInfo* info);
/* Takes a texture announcement as if its SharedTextureReady had come over this session's pipe
 * (`info->serial` is ignored): for a reader that learns of textures another way. */
VYO_OVERLAY_API int32_t vyo_overlay_open_texture(VyoOverlay* overlay, const VyoTextureInfo* info);
/* The view's DirtyMap as it is now (no keyed mutex taken). */
VYO_OVERLAY_API int32_t vyo_overlay_read_dirty(VyoOverlay* overlay, uint32_t view_id, VyoDirty* dirty);
/* Copies the view's latest update into `pixels` (premultiplied BGRA, `width` x `height` with
 * `pitch` bytes a row, which must be the texture's size): takes the keyed-mutex word with key 1
 * without waiting (VYO_E_BUSY while it is not the overlay's turn: while the host writes, and from
 * the overlay's release until the host's next update, as the word alternates), reads the DirtyMap, copies the rectangle it
 * names (the whole texture for a full update and for the first update of a new texture), gives
 * key 0 back. frame->updated is 0 when the sequence number has not moved since the last copy. */
VYO_OVERLAY_API int32_t vyo_overlay_read_frame(VyoOverlay* overlay, uint32_t view_id, uint8_t* pixels,
                                               uint32_t pitch, uint32_t width, uint32_t height, VyoFrame* frame);

/* ---- Hit masks */
/* One consistent copy of the view's hit mask (a few tries while the host writes; VYO_E_BUSY if
 * none succeeded, VYO_E_NOT_FOUND when the view has no mask). */
VYO_OVERLAY_API int32_t vyo_overlay_read_hit_mask(VyoOverlay* overlay, uint32_t view_id, VyoHitMask* mask);
/* Milliseconds since the last HitMaskHeartbeat was polled (VYO_E_NOT_FOUND before the first). */
VYO_OVERLAY_API int32_t vyo_overlay_heartbeat_age(VyoOverlay* overlay, uint32_t* age_ms);
/* Whether pixel (x, y) of the view is opaque by its hit mask: *opaque 1 or 0. Only while the
 * heartbeat is fresh (younger than three of its periods): otherwise, and when the view has no
 * mask, VYO_E_NOT_FOUND, and the caller decides by the texture's alpha instead. */
VYO_OVERLAY_API int32_t vyo_overlay_hit_test(VyoOverlay* overlay, uint32_t view_id, int32_t x, int32_t y,
                                             int32_t* opaque);

/* ---- Input */
/* Writes the record(s) into the input ring and signals the input event. VYO_E_FULL when the ring
 * has no room (nothing written). */
VYO_OVERLAY_API int32_t vyo_overlay_send_input(VyoOverlay* overlay, const VyoInput* input);
/* A left click at (x, y): a move, a button-down and a button-up. */
VYO_OVERLAY_API int32_t vyo_overlay_click(VyoOverlay* overlay, uint32_t view_id, int32_t x, int32_t y);
/* A 304-byte record exactly as given. */
VYO_OVERLAY_API int32_t vyo_overlay_send_input_record(VyoOverlay* overlay, const uint8_t* record, uint32_t length);
/* The host's read index of the ring. */
VYO_OVERLAY_API int32_t vyo_overlay_input_read_index(VyoOverlay* overlay, uint32_t* index);
/* Writes the ring's write index as given and signals (for testing the host with a corrupt ring). */
VYO_OVERLAY_API int32_t vyo_overlay_set_input_write_index(VyoOverlay* overlay, uint32_t index);

/* ---- Beat map */
VYO_OVERLAY_API int32_t vyo_overlay_read_beat(VyoOverlay* overlay, VyoBeat* beat);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif /* VYO_OVERLAY_H_ */
