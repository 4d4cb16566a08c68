/*
 * A small application of morelapi: start the library, wait for the device,
 * print what it knows, make a few things happen and print the events that
 * come back, then stop. It says what it does before each step.
 *
 * The transport library picks the device from TALVO_DEVICE; unset (or "sim")
 * means its built-in simulated device:
 *   ./demo
 *   TALVO_DEVICE=unix:/path/to/device.sock ./demo     (a running spphone-sim)
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L /* clock_gettime, also in strict C */
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "morelapi.h"

/* Which event codes have arrived since they were last forgotten, so that a
 * step can wait for the event its request makes the device send. The link
 * report counts only when it says "up". */
#define CODES 0x400

#if defined(_WIN32)
#include <windows.h>
static HANDLE happened;
static volatile LONG seen[CODES];
static void InitSignal(void) { happened = CreateEventA(NULL, FALSE, FALSE, NULL); }
static void Note(uint32_t code) {
    InterlockedExchange(&seen[code % CODES], 1);
    SetEvent(happened);
}
static void Forget(uint32_t code) { InterlockedExchange(&seen[code % CODES], 0); }
static int WaitFor(uint32_t code, unsigned ms) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed;
        if (InterlockedCompareExchange(&seen[code % CODES], 0, 0))
            return 1;
        elapsed = GetTickCount() - start;
        if (elapsed >= ms)
            return 0;
        WaitForSingleObject(happened, ms - elapsed);
    }
}
#else
#include <errno.h>
#include <pthread.h>
#include <time.h>
static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
static int seen[CODES];
static void InitSignal(void) {}
static void Note(uint32_t code) {
    pthread_mutex_lock(&mutex);
    seen[code % CODES] = 1;
    pthread_cond_broadcast(&cond);
    pthread_mutex_unlock(&mutex);
}
static void Forget(uint32_t code) {
    pthread_mutex_lock(&mutex);
    seen[code % CODES] = 0;
    pthread_mutex_unlock(&mutex);
}
static int WaitFor(uint32_t code, unsigned ms) {
    struct timespec deadline;
    int rc = 0, got;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&mutex);
    while (!seen[code % CODES] && rc != ETIMEDOUT)
        rc = pthread_cond_timedwait(&cond, &mutex, &deadline);
    got = seen[code % CODES];
    pthread_mutex_unlock(&mutex);
    return got;
}
#endif

/* The call state each call event stands for (morelapi.h lists them). */
static const uint8_t stateOfEvent[0x20] = {0,  8,  9,  2,  10, 0,  16, 12, 11, 13, 15, 0,  4,  5,  6,  7,
                                           18, 19, 20, 17, 22, 23, 24, 25, 26, 21, 27, 28, 29, 30, 31, 32};

/* The call states the device reports most; the library passes the numbers
 * through without naming them. */
static const char *CallStateName(uint8_t state) {
    switch (state) {
    case 0: return "idle";
    case 2: return "connected";
    case 4: return "ended here";
    case 5: return "rejected";
    case 6: return "ended by the far end";
    case 8: return "dialling";
    case 9: return "ringing";
    case 12: return "held";
    case 16: return "alerting";
    default: return "another state";
    }
}

/* Prints the display image as one line, its lines joined by " | ". */
static void PrintDisplay(const uint8_t *image) {
    size_t k, end = 0;
    while (end < MORELAPI_DISPLAY_BYTES && image[end] != 0)
        ++end;
    while (end > 0 && image[end - 1] == '\n')
        --end;
    for (k = 0; k < end; ++k) {
        if (image[k] == '\n')
            fputs(" | ", stdout);
        else
            putchar(image[k] >= 32 && image[k] < 127 ? image[k] : '.');
    }
}

static int linkWasUp; /* touched by the link thread only */

/* Runs on the library's event thread (and on its link thread for 0x0105). */
static void MORELAPI_CALL OnEvent(uint32_t code, uint32_t slot, void *data) {
    const uint8_t *value = (const uint8_t *)data;
    (void)slot;
    switch (code) {
    case MORELAPI_EVENT_LINK:
        /* The library reports the link down when it starts; that says
         * nothing yet. */
        if (value[0] || linkWasUp)
            printf("  event: link %s\n", value[0] ? "up" : "down");
        fflush(stdout);
        if (!value[0])
            return; /* only "up" counts as the link event waited for */
        linkWasUp = 1;
        break;
    case MORELAPI_EVENT_RINGER_VOLUME:
        printf("  event: ringer volume is now %u\n", value[0]);
        break;
    case MORELAPI_EVENT_RECEIVE_VOLUME:
        printf("  event: receive volume is now %u\n", value[0]);
        break;
    case MORELAPI_EVENT_PLAYBACK_VOLUME:
        printf("  event: playback volume is now %u\n", value[0]);
        break;
    case MORELAPI_EVENT_SYSTEM_DATA:
        printf("  event: setting %u changed\n", value[0] | (value[1] << 8));
        break;
    case MORELAPI_EVENT_KEY: {
        uint8_t key = 0, action = 0;
        GetKey(&key, &action);
        printf("  event: key '%c' (code %u), action %u\n", key >= 32 && key < 127 ? key : '?', key, action);
        break;
    }
    case MORELAPI_EVENT_DISPLAY: {
        uint8_t image[MORELAPI_DISPLAY_BYTES];
        fputs("  event: display changed: ", stdout);
        if (GetLCDdata(image))
            PrintDisplay(image);
        putchar('\n');
        break;
    }
    default:
        if (slot == MORELAPI_SLOT_CALL && code >= 0x0201 && code <= 0x021F) {
            const uint8_t state = stateOfEvent[code - 0x0200];
            printf("  event: call %u is %s (state %u)\n", value[0], CallStateName(state), state);
        } else {
            printf("  event: 0x%04x on slot %u\n", (unsigned)code, (unsigned)slot);
        }
        break;
    }
    fflush(stdout);
    Note(code);
}

static void Step(const char *text) {
    printf("demo: %s\n", text);
    fflush(stdout);
}

int main(void) {
    uint16_t slot;
    uint8_t status = 0, count = 0, cti = 0, item1[6], entries[MORELAPI_UNICODE_TABLE_BYTES];
    uint16_t version = 0;
    uint32_t item = 0;
    uint8_t number[MORELAPI_CALL_TEXT_BYTES];
    const char *device = getenv("TALVO_DEVICE");
    int i;

    InitSignal();
    if (device == NULL || device[0] == 0 || strcmp(device, "sim") == 0)
        Step("starting the library on the transport's built-in simulated device (TALVO_DEVICE unset or sim)");
    else
        printf("demo: starting the library on the device at %s (TALVO_DEVICE)\n", device);
    if (!InitializeUsbApiLib()) {
        fprintf(stderr, "demo: the library did not start\n");
        return 1;
    }
    for (slot = 0; slot < MORELAPI_SLOT_COUNT; ++slot)
        RegisterEvent(slot, OnEvent, slot, NULL);
    Step("waiting up to 15 s for the device link");
    /* The first link report can come before the registration: ask too. */
    if (!IsSPphoneAvailable() && !WaitFor(MORELAPI_EVENT_LINK, 15000)) {
        if (device == NULL || device[0] == 0 || strcmp(device, "sim") == 0)
            fprintf(stderr, "demo: no link to the built-in simulated device: is libtalvo.so on the library "
                            "search path (LD_LIBRARY_PATH)?\n");
        else
            fprintf(stderr, "demo: no link to the device at %s: is spphone-sim running there, and serving no "
                            "other host?\n", device);
        TerminateUsbApiLib();
        return 1;
    }

    Step("reading what the device reports about itself");
    if (GetSPphoneStatus(&status))
        printf("  status: %u\n", status);
    for (i = 0; i < 3; ++i)
        if (GetVersionSpeakerphone((uint8_t)i, &version))
            printf("  device version %d: 0x%04x\n", i, version);
    if (GetCTIVersion(&cti))
        printf("  protocol version: 0x%02x\n", cti);
    if (GetIPnetworkInfo(1, item1))
        printf("  network item 1: %u.%u.%u.%u port %u\n", item1[0], item1[1], item1[2], item1[3],
               item1[4] | (item1[5] << 8));
    for (i = 2; i <= 7; ++i) {
        if (!GetIPnetworkInfo((uint8_t)i, &item))
            continue;
        /* Addresses come as four bytes in network order; small numbers
         * (ports, flags) read better as numbers. */
        if (item > 0xFFFF)
            printf("  network item %d: %lu.%lu.%lu.%lu\n", i, (unsigned long)(item & 0xFF),
                   (unsigned long)((item >> 8) & 0xFF), (unsigned long)((item >> 16) & 0xFF),
                   (unsigned long)(item >> 24));
        else
            printf("  network item %d: %lu\n", i, (unsigned long)item);
    }
    if (ActiveUnicode(entries, &count))
        printf("  entries in the device's table: %u\n", count);
    fflush(stdout);

    Step("setting the ringer volume to 2; the device reports the new volume");
    Forget(MORELAPI_EVENT_RINGER_VOLUME);
    if (SetRingerVol(2))
        WaitFor(MORELAPI_EVENT_RINGER_VOLUME, 3000);

    Step("pressing key 5; the device reports the key and a display change");
    Forget(MORELAPI_EVENT_DISPLAY);
    if (SetKey('5', 0))
        WaitFor(MORELAPI_EVENT_DISPLAY, 3000);

    Step("dialling 0123456789 and waiting until the call is connected");
    memset(number, 0, sizeof number);
    memcpy(number, "0123456789", 10);
    Forget(MORELAPI_EVENT_CALL_0203);
    if (MakeCall(0, 0, number) && WaitFor(MORELAPI_EVENT_CALL_0203, 3000)) {
        Step("ending the call");
        Forget(MORELAPI_EVENT_CALL_020C);
        if (EndCall(0))
            WaitFor(MORELAPI_EVENT_CALL_020C, 3000);
    }

    Step("stopping the library");
    TerminateUsbApiLib();
    printf("done\n");
    return 0;
}
