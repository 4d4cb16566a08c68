/* A C99 application of the installed library: starts it, waits for the
 * device link (event 0x0105 on slot 1, or IsSPphoneAvailable), reads the
 * status, stops. Exit status 0 when all of that worked. */
#define _POSIX_C_SOURCE 199309L /* nanosleep */

#include <stdio.h>
#include <time.h>

#include <morelapi.h>

#if MORELAPI_VERSION < 0x010000
#error "morelapi 1.0 or later expected"
#endif

static volatile int linkUp = 0;

static void MORELAPI_CALL OnDevice(uint32_t code, uint32_t userWord, void *data) {
    (void)userWord;
    if (code == MORELAPI_EVENT_LINK && data != NULL)
        linkUp = *(const uint8_t *)data == 1;
}

int main(void) {
    uint8_t status = 0;
    int waited;
    const struct timespec step = {0, 20 * 1000 * 1000};

    if (!InitializeUsbApiLib()) {
        fprintf(stderr, "consumer: the library did not start\n");
        return 1;
    }
    RegisterEvent(MORELAPI_SLOT_DEVICE, OnDevice, 0, NULL);
    for (waited = 0; !linkUp && !IsSPphoneAvailable() && waited < 10000; waited += 20)
        nanosleep(&step, NULL);
    if (!IsSPphoneAvailable() || !GetSPphoneStatus(&status)) {
        fprintf(stderr, "consumer: no answering device within 10 s\n");
        TerminateUsbApiLib();
        return 1;
    }
    printf("morelapi %d.%d.%d, status %u\n", MORELAPI_VERSION_MAJOR, MORELAPI_VERSION_MINOR, MORELAPI_VERSION_PATCH,
           status);
    TerminateUsbApiLib();
    return 0;
}
