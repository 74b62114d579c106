/* A PKCS#11 module that prints to standard output when loaded and then fails:
 * a host whose messages shared that output would be torn. */
#include <stdio.h>

unsigned long C_GetFunctionList(void** list) {
    printf("chatty module: hello on standard output\n");
    fflush(stdout);
    *list = 0;
    return 6; /* CKR_FUNCTION_FAILED */
}
