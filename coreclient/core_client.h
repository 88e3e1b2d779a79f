/*
 * core-client: the phone library. It connects to the phone gateway over TCP and
 * answers every request through a callback.
 *
 * Callback rules:
 *  - Every request with a non-NULL callback calls it exactly once, on a library
 *    thread, never inside the call that made the request.
 *  - code >= 0 is success; data/length then carry the answer (see each call).
 *    A negative code is one of the CC_ERR_* values (wire/codes.h); data is NULL and
 *    length 0, except for CC_ERR_COMMAND_FAILED, CC_ERR_TRANSFER_FAILED and
 *    CC_ERR_INSTALL_FAILED, whose data holds the phone's error text.
 *  - The SdkSession given to a callback is the library's own copy, valid only
 *    while the callback runs. Its strings are copies of the caller's; its
 *    extra word is handed back unchanged. data is valid only while the
 *    callback runs.
 *  - Callbacks run one after another on one delivery thread, so a slow
 *    callback delays the others. A callback may issue new requests.
 *
 * Ordering: requests for one phone (the same deviceId) reach the phone and are
 * carried out in call order: a request whose call returned before another
 * call began comes first, whatever thread made either. Keys, texts
 * and touches may therefore be sent without waiting for each answer. A
 * download (cc_core_send_transfer_file_msg_tob) starts in order but finishes
 * later. Callbacks keep no promised order. A request that fails with
 * CC_ERR_CONNECTION_LOST or CC_ERR_TIMEOUT may or may not have reached the
 * phone; later requests are still sent. Touches made in a connected window
 * travel on that window's display stream and are not ordered with requests.
 *
 * Hosts: requests and callbacks need nothing from the host program; a plain C
 * program without any Qt application object gets every callback. Only the
 * display (cc_core_connect_phone_tob) needs a Qt widget host, a QApplication.
 *
 * Strings: deviceUcId at most 255 bytes and deviceId at most 31 bytes,
 * NUL-terminated. Longer or missing strings fail with CC_ERR_BAD_ARGUMENT.
 *
 * Time-outs: a request that the gateway has not answered within
 * CC_REQUEST_TIMEOUT_MS (CC_TRANSFER_TIMEOUT_MS for file transfers) fails
 * with CC_ERR_TIMEOUT; a late answer is dropped.
 *
 * Display notifications (see cc_copydata_event.h): after cc_core_connect_phone_tob
 * the library posts CcCopyDataEvent to the surface widget with dwData
 *   3   rotation of the phone's screen, a 32-bit little-endian int (0 portrait,
 *       1 landscape); sent with the first frame and whenever it changes;
 *   103 no data; the display stream has started (first frame shown);
 *   104 a touch press or release that the library has just sent (payload);
 *   105 a touch move that the library has just sent (payload).
 * Touch payloads can be replayed unchanged on any phone with
 * cc_core_send_touch_updown_msg_tob / cc_core_send_touch_move_msg_tob.
 */
#ifndef PELOMIR_CORE_CLIENT_H
#define PELOMIR_CORE_CLIENT_H

#include "wire/codes.h"

#include <stdint.h>

#if defined(CORE_CLIENT_BUILD)
#define CC_API __attribute__((visibility("default")))
#else
#define CC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SdkSession
{
    const char *deviceUcId; /* access credential, at most 255 bytes */
    const char *deviceId;   /* phone id, at most 31 bytes */
    void *extra;            /* caller's word, handed back to the callback */
} SdkSession;

typedef void (*SdkCallback)(SdkSession *session, int reserved, int code, const void *data, int length);

enum
{
    CC_REQUEST_TIMEOUT_MS = 15000,
    CC_TRANSFER_TIMEOUT_MS = 120000
};

/* Starts the library and writes its log to logDir/core-client.log (the
 * directory is created). Returns 1, or 0 when the log cannot be written.
 * Requests made without it start the library on first use, without a log. */
CC_API int cc_core_init(const char *logDir);

/* Fails every request still waiting with CC_ERR_SHUTDOWN (their callbacks run
 * before it returns), closes every phone and stops the library's threads.
 * Call it from the GUI thread (any thread in a host without one), never from
 * a callback. */
CC_API void cc_core_uninit(void);

/* Gateway address for the following connections (default: the deployment's
 * gateway). For tests. */
CC_API void cc_core_set_gateway(const char *host, int port);

/* Request and transfer time-outs in milliseconds for requests made from now
 * on; 0 keeps the current value. For tests. */
CC_API void cc_core_set_timeouts(int requestMs, int transferMs);

/* Shows the phone in the widget whose native handle is window (its winId()):
 * a render child fills it, scales the phone's screen into it and turns mouse
 * presses, moves and releases into touches. restricted != 0 makes the window
 * view-only. Call from the GUI thread of a QApplication. The reserved
 * arguments are ignored. Returns 0, CC_ERR_NO_WIDGET_HOST when the program
 * runs no QApplication, or CC_ERR_BAD_ARGUMENT when the strings are invalid
 * or no widget has that handle. A later connect on the same
 * window replaces the phone shown there. */
CC_API int cc_core_connect_phone_tob(const char *deviceUcId, const char *deviceId, uintptr_t window,
                                     int reserved1, int reserved2, int reserved3, int restricted,
                                     int reserved4, int reserved5, int reserved6);

/* Stops the stream of that window and removes the render child. Call from the
 * GUI thread. Destroying the surface widget has the same effect. */
CC_API void cc_core_close_phone(uintptr_t window);

/* All send calls return 0 when the request was accepted and a negative code
 * when it was refused at once; in both cases the callback (if any) reports
 * the outcome exactly once. */

/* One JPEG of the screen: quality 1..100, sizeCode CC_PREVIEW_*. */
CC_API int cc_core_send_preview_msg_tob(SdkSession *session, int quality, int sizeCode, SdkCallback cb);

/* Touch payloads as delivered by notifications 104 and 105. */
CC_API int cc_core_send_touch_updown_msg_tob(SdkSession *session, const void *payload, int length,
                                             SdkCallback cb);
CC_API int cc_core_send_touch_move_msg_tob(SdkSession *session, const void *payload, int length,
                                           SdkCallback cb);

/* Key payload: 8 bytes, Android key code (32-bit little-endian), action
 * (1 press, 2 release), three zero bytes. */
CC_API int cc_core_send_key_event_tob(SdkSession *session, const void *payload, int length, SdkCallback cb);

/* CC_KEY_* codes; cb may be NULL. */
CC_API int cc_core_send_function_key_tob(SdkSession *session, int keyCode, SdkCallback cb);

/* UTF-8 text typed into the phone's focused field, at most CC_MAX_TEXT_BYTES. */
CC_API int cc_core_send_text_event_tob(SdkSession *session, const void *text, int length, SdkCallback cb);

/* Shell command (NUL-terminated); data of the answer: its output. cb may be
 * NULL; reserved is ignored. */
CC_API int cc_core_send_adb_command_msg_tob(SdkSession *session, const char *command, SdkCallback cb,
                                            int reserved);

/* Full-size PNG of the screen. */
CC_API int cc_core_send_screencap_msg_tob(SdkSession *session, SdkCallback cb);

/* Installed apps as UTF-8 text: entries "version|package|label" joined by ",". */
CC_API int cc_core_send_get_installed_package_msg_tob(SdkSession *session, SdkCallback cb);

/* The phone downloads url (http:// or https://, NUL-terminated) into its download folder
 * and, with install = 1, installs it as an APK. Data of the answer: the
 * stored file name, and for an install the package name after a "|". */
CC_API int cc_core_send_transfer_file_msg_tob(SdkSession *session, int install, const char *url,
                                              SdkCallback cb);

/* Signs the controlling user into the phone's remote-control service (the
 * phone's status bar then shows it). Data of the answer: a JSON object. */
CC_API int cc_core_send_user_login_data_tob(SdkSession *session, SdkCallback cb);

#ifdef __cplusplus
}
#endif

#endif
