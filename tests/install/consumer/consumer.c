/* A C game's first calls through the installed header and library: the
 * header's version is the package's, and arguments out of range come back
 * with the documented codes (the front alone, without its core, would
 * answer -9). Exits 0 when every check holds. */
#include <stdio.h>
#include <string.h>

#include "vorel/vorel.h"

static int g_failures = 0;

static void expect_int(const char* what, int got, int want) {
    if (got == want) {
        printf("ok    %s: %d\n", what, got);
    } else {
        printf("FAIL  %s: %d, expected %d\n", what, got, want);
        ++g_failures;
    }
}

int main(void) {
    if (strcmp(VOREL_VERSION_STRING, VOREL_EXPECTED_VERSION) == 0) {
        printf("ok    header version %s\n", VOREL_VERSION_STRING);
    } else {
        printf("FAIL  header version %s, package version %s\n", VOREL_VERSION_STRING,
               VOREL_EXPECTED_VERSION);
        ++g_failures;
    }
    expect_int("init with a host of 3 characters", init("bad", 7000), -1);
    expect_int("init with port 0", init("127.0.0.1", 0), -1);
    expect_int("Write_Message1 of type 100", Write_Message1(100, "login 1 player", 0), -1);
    return g_failures == 0 ? 0 : 1;
}
