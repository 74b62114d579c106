/* A stand-in for the PKCS#11 module in tests that drive the prompts from
 * outside (a screen reader's interfaces, a compositor's title bar): it calls
 * one entry point and prints what came back, the test PIN included.
 *
 *   carrow_host pin             -> "pin <length> <hex bytes>"
 *   carrow_host countdown SECS  -> "countdown <result> flag <flag>"
 *
 * Test only; never installed. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pinprompt/carrow.h"

int main(int argc, char** argv) {
    const char* step = argc > 1 ? argv[1] : "";
    P11_ConsoleInit();
    if (strcmp(step, "pin") == 0) {
        char pin[256];
        uint32_t len = 0;
        memset(pin, 0, sizeof pin);
        const int rc = P11_BlockPopPin(pin, &len);
        if (rc != 0 || len > sizeof pin) {
            printf("pin failed %d %u\n", rc, len);
            return 1;
        }
        printf("pin %u ", len);
        for (uint32_t i = 0; i < len; ++i) printf("%02x", (unsigned char)pin[i]);
        printf("\n");
        return 0;
    }
    if (strcmp(step, "countdown") == 0 && argc > 2) {
        int32_t flag = 1;
        const int rc = showCountDownWindow((int32_t)atoi(argv[2]), "QDCountDown", "", 200, 300, &flag);
        printf("countdown %d flag %d\n", rc, flag);
        return 0;
    }
    fprintf(stderr, "usage: carrow_host pin | countdown SECONDS\n");
    return 2;
}
