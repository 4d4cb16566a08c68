/* The public headers compile as C99 with every warning, their lists too. */
#include "morelapi.h"
#include "talvo.h"

#define ITEM_ROW(id, width, isText) {id, width, isText},
#define CALL_ROW(code, state, name, text, ended) {code, state, text, ended},

static const struct {
    unsigned id, width, isText;
} items[] = {MORELAPI_SYSTEM_DATA_ITEMS(ITEM_ROW)};
static const struct {
    unsigned long code;
    unsigned state;
    const char *name;
    int ended;
} calls[] = {MORELAPI_CALL_EVENTS(CALL_ROW)};

int morelapi_header_c99_check(void);
int morelapi_header_c99_check(void) {
    SPphoneEventCallback cb = 0;
    TalvoReceiveCallback rc = 0;
    return (cb == 0 && rc == 0 && MORELAPI_VERSION > 0 && items[0].id == 1 && calls[0].name != 0) ? 0 : 1;
}
