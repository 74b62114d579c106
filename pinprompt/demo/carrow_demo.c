/* Calls the PIN prompt library the way the token maker's PKCS#11 module
 * does: loads it by path with dlopen, looks each entry point up by name and
 * calls it on the main thread.
 *
 *   carrow_demo [LIBRARY] [all|msg|ask|pin|countdown]
 *
 * LIBRARY defaults to $QD_CARROW_LIBRARY, else /usr/local/lib/libCarrow_20244.so.
 * The countdown picture comes from the key manager's bundle ($QD_BUNDLE_DIR). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef void (*ConsoleInitFn)(void);
typedef int (*BlockPopPinFn)(char*, uint32_t*);
typedef int (*ShowMsgFn)(const char*, uint32_t);
typedef int (*CountDownFn)(int32_t, const char*, const char*, int32_t, int32_t, int32_t*);
typedef void (*CloseFn)(void);

static void* need(void* lib, const char* name) {
    void* fn = dlsym(lib, name);
    if (fn == NULL) {
        fprintf(stderr, "carrow_demo: %s missing: %s\n", name, dlerror());
        exit(2);
    }
    return fn;
}

static CloseFn closeWindowFn;

/* The module ends a countdown from its worker thread once the key answered. */
static void* closeLater(void* arg) {
    (void)arg;
    sleep(2);
    closeWindowFn();
    return NULL;
}

int main(int argc, char** argv) {
    const char* path = getenv("QD_CARROW_LIBRARY");
    if (argc > 1 && argv[1][0] != '\0') {
        path = argv[1];
    } else if (path == NULL || path[0] == '\0') {
        path = "/usr/local/lib/libCarrow_20244.so";
    }
    const char* step = argc > 2 ? argv[2] : "all";
    int all = strcmp(step, "all") == 0;

    void* lib = dlopen(path, RTLD_LAZY);
    if (lib == NULL) {
        fprintf(stderr, "carrow_demo: %s\n", dlerror());
        return 2;
    }
    ConsoleInitFn consoleInit = (ConsoleInitFn)need(lib, "P11_ConsoleInit");
    BlockPopPinFn blockPopPin = (BlockPopPinFn)need(lib, "P11_BlockPopPin");
    ShowMsgFn showMsg = (ShowMsgFn)need(lib, "P11_ShowMsg");
    ShowMsgFn showMsg2 = (ShowMsgFn)need(lib, "P11_ShowMsg2");
    CountDownFn countDown = (CountDownFn)need(lib, "showCountDownWindow");
    closeWindowFn = (CloseFn)need(lib, "closeWindow");
    CloseFn closeWindowT = (CloseFn)need(lib, "closeWindow_t");

    consoleInit();

    if (all || strcmp(step, "msg") == 0) {
        printf("P11_ShowMsg -> %d\n", showMsg("PIN码已锁定，请联系银行。", 0));
    }
    if (all || strcmp(step, "ask") == 0) {
        printf("P11_ShowMsg2 -> %d\n", showMsg2("确定要继续吗？", 0));
    }
    if (all || strcmp(step, "pin") == 0) {
        char pin[256];
        uint32_t len = 0;
        memset(pin, 0, sizeof pin);
        int rc = blockPopPin(pin, &len);
        /* The PIN itself is never printed. */
        printf("P11_BlockPopPin -> %d, length %u\n", rc, len);
        explicit_bzero(pin, sizeof pin);
    }
    if (all || strcmp(step, "countdown") == 0) {
        int32_t flag = 1;
        int rc = countDown(3, "QDCountDown", "", 261, 384, &flag);
        printf("showCountDownWindow(3 s) -> %d, flag %d\n", rc, flag);

        pthread_t closer;
        if (pthread_create(&closer, NULL, closeLater, NULL) == 0) {
            flag = 1;
            rc = countDown(30, "QDCountDown", "", 261, 384, &flag);
            pthread_join(closer, NULL);
            printf("showCountDownWindow(30 s, closeWindow after 2 s) -> %d, flag %d\n", rc, flag);
        }
        closeWindowT(); /* nothing left to close: harmless */
    }
    fflush(stdout);
    /* The library stays loaded: Qt's application object lives until exit. */
    return 0;
}
