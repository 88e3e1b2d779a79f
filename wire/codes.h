/*
 * The values that requests and answers carry between the phone library and the
 * gateway: result codes, request payload limits, preview sizes and function
 * keys. Plain C, since the library's C header hands them on to its callers.
 */
#ifndef PELOMIR_WIRE_CODES_H
#define PELOMIR_WIRE_CODES_H

enum
{
    CC_OK = 0,
    CC_ERR_BAD_ARGUMENT = -1,       /* NULL or over-long argument, bad payload or code */
    CC_ERR_UNKNOWN_PHONE = -2,      /* the gateway has no phone of that id */
    CC_ERR_BAD_CREDENTIAL = -3,     /* the credential is malformed or not for this phone */
    CC_ERR_EXPIRED_CREDENTIAL = -4, /* the credential was valid but has expired */
    CC_ERR_UNREACHABLE = -5,        /* the gateway could not be reached */
    CC_ERR_CONNECTION_LOST = -6,    /* the gateway connection broke before the answer */
    CC_ERR_REBOOTING = -7,          /* the phone is restarting or being reset */
    CC_ERR_TIMEOUT = -8,            /* no answer in time */
    CC_ERR_VIEW_ONLY = -9,          /* the credential only allows watching */
    CC_ERR_COMMAND_FAILED = -10,    /* shell command failed; data = its output */
    CC_ERR_TRANSFER_FAILED = -11,   /* the phone could not download the file; data = reason */
    CC_ERR_INSTALL_FAILED = -12,    /* the downloaded file is not an installable APK; data = reason */
    CC_ERR_BUSY = -13,              /* too many requests in flight; try later */
    CC_ERR_PROTOCOL = -14,          /* the gateway sent something malformed */
    CC_ERR_SHUTDOWN = -15,          /* cc_core_uninit ran before the answer came */
    CC_ERR_INTERNAL = -16,          /* the gateway failed to carry out the request */
    CC_ERR_NO_WIDGET_HOST = -17     /* the display needs a QApplication; the host has none */
};

enum
{
    CC_MAX_TEXT_BYTES = 4096,    /* text events */
    CC_MAX_COMMAND_BYTES = 1023, /* shell commands */
    CC_MAX_URL_BYTES = 1023,     /* transfer URLs */
    CC_MAX_TOUCH_BYTES = 64      /* touch payloads */
};

/* Preview size codes: the width of the JPEG in pixels (height keeps the
 * screen's aspect). The other preview argument is the JPEG quality, 1..100. */
enum
{
    CC_PREVIEW_LARGE = 25,
    CC_PREVIEW_MEDIUM = 17,
    CC_PREVIEW_SMALL = 13
};
enum
{
    CC_PREVIEW_LARGE_WIDTH = 360,
    CC_PREVIEW_MEDIUM_WIDTH = 240,
    CC_PREVIEW_SMALL_WIDTH = 160
};

/* Function keys: Linux input event codes. */
enum
{
    CC_KEY_VOLUMEDOWN = 114,
    CC_KEY_VOLUMEUP = 115,
    CC_KEY_BACK = 158,
    CC_KEY_HOMEPAGE = 172,
    CC_KEY_APPSELECT = 580
};

#endif
