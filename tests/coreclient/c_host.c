/* A plain C host of the phone library: no Qt, only the header. Every callback
 * must come exactly once, with the expected code.
 * Usage: c_host HOST PORT CREDENTIAL DEVICE_ID WRONG_CREDENTIAL */

#include "coreclient/core_client.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum
{
    TEXTS = 40,
    SLOTS = TEXTS + 8
};

typedef struct Slot
{
    SdkSession session;
    const char *what;
    int expect;
    int calls;
    int code;
    int length;
    unsigned char first;
} Slot;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int answered;
static Slot slots[SLOTS];
static int used;
static char screen[65536]; /* the last answer's text */

static void callback(SdkSession *session, int reserved, int code, const void *data, int length)
{
    Slot *slot = (Slot *)session->extra;
    (void)reserved;
    pthread_mutex_lock(&lock);
    if (slot->calls++ == 0)
        ++answered;
    slot->code = code;
    slot->length = length;
    slot->first = data && length > 0 ? *(const unsigned char *)data : 0;
    if (data && length > 0 && length < (int)sizeof screen) {
        memcpy(screen, data, (size_t)length);
        screen[length] = 0;
    }
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

static Slot *slot(const char *what, const char *credential, const char *deviceId, int expect)
{
    Slot *s = &slots[used++];
    s->session.deviceUcId = credential;
    s->session.deviceId = deviceId;
    s->session.extra = s;
    s->what = what;
    s->expect = expect;
    return s;
}

/* Waits until every slot so far has answered, at most 30 s. */
static int waitAll(void)
{
    struct timespec until;
    int done;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 30;
    pthread_mutex_lock(&lock);
    while (answered < used && pthread_cond_timedwait(&changed, &lock, &until) == 0)
        ;
    done = answered == used;
    pthread_mutex_unlock(&lock);
    return done;
}

int main(int argc, char **argv)
{
    const char *cred, *id, *wrong;
    int i, failed = 0;
    if (argc != 6) {
        fprintf(stderr, "usage: %s HOST PORT CREDENTIAL DEVICE_ID WRONG_CREDENTIAL\n", argv[0]);
        return 2;
    }
    cred = argv[3];
    id = argv[4];
    wrong = argv[5];
    cc_core_set_gateway(argv[1], atoi(argv[2]));

    cc_core_send_preview_msg_tob(&slot("preview", cred, id, 0)->session, 50, CC_PREVIEW_SMALL, callback);
    cc_core_send_adb_command_msg_tob(&slot("launch", cred, id, 0)->session,
                                     "monkey -p com.pmapps.notes -c android.intent.category.LAUNCHER 1",
                                     callback, 0);
    for (i = 0; i < TEXTS; ++i)
        cc_core_send_text_event_tob(&slot("text", cred, id, 0)->session, "ab" + (i % 2), 1, callback);
    cc_core_send_preview_msg_tob(&slot("bad quality", cred, id, CC_ERR_BAD_ARGUMENT)->session, 0,
                                 CC_PREVIEW_SMALL, callback);
    cc_core_send_function_key_tob(&slot("wrong credential", wrong, id, CC_ERR_BAD_CREDENTIAL)->session,
                                  CC_KEY_BACK, callback);
    cc_core_send_function_key_tob(&slots[0].session, CC_KEY_VOLUMEUP, NULL);
    if (cc_core_connect_phone_tob(cred, id, 1, 0, 0, 0, 0, 0, 0, 0) != CC_ERR_NO_WIDGET_HOST) {
        fprintf(stderr, "display connect without a widget host did not fail with CC_ERR_NO_WIDGET_HOST\n");
        failed = 1;
    }
    if (!waitAll()) {
        fprintf(stderr, "callbacks missing after 30 s\n");
        failed = 1;
    }
    cc_core_uninit();

    /* The library starts again on the next request; uninit answers what is left. */
    cc_core_send_adb_command_msg_tob(&slot("after restart", cred, id, 0)->session, "uiautomator dump",
                                     callback, 0);
    if (!waitAll()) {
        fprintf(stderr, "callback after restart missing\n");
        failed = 1;
    }
    cc_core_uninit();

    pthread_mutex_lock(&lock);
    for (i = 0; i < used; ++i) {
        const Slot *s = &slots[i];
        if (s->calls != 1 || s->code != s->expect) {
            fprintf(stderr, "%s: %d calls, code %d (want one call, code %d)\n", s->what, s->calls, s->code,
                    s->expect);
            failed = 1;
        }
    }
    pthread_mutex_unlock(&lock);
    if (slots[0].length <= 0 || slots[0].first != 0xff) {
        fprintf(stderr, "preview is not a JPEG\n");
        failed = 1;
    }
    {
        char want[TEXTS + 16] = "text=\"";
        for (i = 0; i < TEXTS; ++i)
            strncat(want, "ab" + (i % 2), 1);
        strcat(want, "\"");
        if (!strstr(screen, want)) {
            fprintf(stderr, "typed text missing or out of order, want %s in:\n%s\n", want, screen);
            failed = 1;
        }
    }
    return failed;
}
