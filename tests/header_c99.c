/* The public headers compile as C99 with every warning. */
#include "morelapi.h"
#include "talvo.h"

int morelapi_header_c99_check(void);
int morelapi_header_c99_check(void) {
    SPphoneEventCallback cb = 0;
    TalvoReceiveCallback rc = 0;
    return (cb == 0 && rc == 0 && MORELAPI_VERSION > 0) ? 0 : 1;
}
