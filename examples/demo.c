/*
 * A small application of morelapi: start the library, wait for the device,
 * print what it knows, make a few things happen and print the events that
 * come back, then stop.
 *
 * With the transport library's simulated device:
 *   TALVO_DEVICE=sim ./demo
 */
#include <stdio.h>
#include <string.h>

#include "morelapi.h"

#if defined(_WIN32)
#include <windows.h>
static HANDLE linkUp;
static void SignalLinkUp(void) { SetEvent(linkUp); }
static int WaitLinkUp(unsigned ms) { return WaitForSingleObject(linkUp, ms) == WAIT_OBJECT_0; }
static void InitSignal(void) { linkUp = CreateEventA(NULL, TRUE, FALSE, NULL); }
static void Pause(unsigned ms) { Sleep(ms); }
#else
#include <errno.h>
#include <pthread.h>
#include <time.h>
static pthread_mutex_t linkMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t linkCond = PTHREAD_COND_INITIALIZER;
static int linkIsUp = 0;
static void SignalLinkUp(void) {
    pthread_mutex_lock(&linkMutex);
    linkIsUp = 1;
    pthread_cond_broadcast(&linkCond);
    pthread_mutex_unlock(&linkMutex);
}
static int WaitLinkUp(unsigned ms) {
    struct timespec deadline;
    int rc = 0;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&linkMutex);
    while (!linkIsUp && rc != ETIMEDOUT)
        rc = pthread_cond_timedwait(&linkCond, &linkMutex, &deadline);
    rc = linkIsUp;
    pthread_mutex_unlock(&linkMutex);
    return rc;
}
static void InitSignal(void) {}
static void Pause(unsigned ms) {
    struct timespec t;
    t.tv_sec = ms / 1000;
    t.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&t, NULL);
}
#endif

static const char *SlotName(uint32_t slot) {
    static const char *names[] = {"raw", "device", "call", "setting", "contacts", "records", "recorder", "rtcp"};
    return slot < 8 ? names[slot] : "?";
}

/* Runs on the library's event thread (and on its link thread for 0x0105). */
static void MORELAPI_CALL OnEvent(uint32_t code, uint32_t slot, void *data) {
    const uint8_t *value = (const uint8_t *)data;
    switch (code) {
    case MORELAPI_EVENT_LINK:
        printf("event  %-8s 0x%04x link %s\n", SlotName(slot), (unsigned)code, value[0] ? "up" : "down");
        if (value[0])
            SignalLinkUp();
        break;
    case MORELAPI_EVENT_RINGER_VOLUME:
    case MORELAPI_EVENT_RECEIVE_VOLUME:
    case MORELAPI_EVENT_PLAYBACK_VOLUME:
        printf("event  %-8s 0x%04x volume %u\n", SlotName(slot), (unsigned)code, value[0]);
        break;
    case MORELAPI_EVENT_SYSTEM_DATA:
        printf("event  %-8s 0x%04x item %u\n", SlotName(slot), (unsigned)code, value[0] | (value[1] << 8));
        break;
    case MORELAPI_EVENT_KEY: {
        uint8_t key = 0, action = 0;
        GetKey(&key, &action);
        printf("event  %-8s 0x%04x key '%c' action %u\n", SlotName(slot), (unsigned)code, key >= 32 && key < 127 ? key : '?',
               action);
        break;
    }
    default:
        if (slot == MORELAPI_SLOT_CALL)
            printf("event  %-8s 0x%04x call %u\n", SlotName(slot), (unsigned)code, value[0]);
        else
            printf("event  %-8s 0x%04x\n", SlotName(slot), (unsigned)code);
        break;
    }
    fflush(stdout);
}

int main(void) {
    uint16_t slot;
    uint8_t status = 0, count = 0, cti = 0, item1[6], entries[MORELAPI_UNICODE_TABLE_BYTES];
    uint16_t version = 0;
    uint32_t item2 = 0;
    uint8_t number[MORELAPI_CALL_TEXT_BYTES];
    int i;

    InitSignal();
    if (!InitializeUsbApiLib()) {
        fprintf(stderr, "demo: the library did not start\n");
        return 1;
    }
    for (slot = 0; slot < MORELAPI_SLOT_COUNT; ++slot)
        RegisterEvent(slot, OnEvent, slot, NULL);
    /* The first link report can come before the registration: ask too. */
    if (!IsSPphoneAvailable() && !WaitLinkUp(15000)) {
        fprintf(stderr, "demo: no device (is TALVO_DEVICE set?)\n");
        TerminateUsbApiLib();
        return 1;
    }

    if (GetSPphoneStatus(&status))
        printf("status        %u\n", status);
    for (i = 0; i < 3; ++i)
        if (GetVersionSpeakerphone((uint8_t)i, &version))
            printf("version %d     0x%04x\n", i, version);
    if (GetCTIVersion(&cti))
        printf("protocol      0x%02x\n", cti);
    if (GetIPnetworkInfo(1, item1))
        printf("network 1     %02x %02x %02x %02x %02x %02x\n", item1[0], item1[1], item1[2], item1[3], item1[4],
               item1[5]);
    for (i = 2; i <= 7; ++i)
        if (GetIPnetworkInfo((uint8_t)i, &item2))
            printf("network %d     0x%08lx\n", i, (unsigned long)item2);
    if (ActiveUnicode(entries, &count))
        printf("entries       %u\n", count);
    fflush(stdout);

    /* Make the device report a few things. */
    SetRingerVol(2);
    SetKey('5', 0);
    memset(number, 0, sizeof number);
    memcpy(number, "0123456789", 10);
    if (MakeCall(0, 0, number)) {
        Pause(500);
        EndCall(0);
    }
    Pause(2000);

    TerminateUsbApiLib();
    printf("done\n");
    return 0;
}
