/* PIN prompt library: the small windows that the token maker's PKCS#11
 * module opens while it works (PIN entry, messages, OK/Cancel, the
 * button-press countdown). Plain C entry points with unmangled names; the
 * module loads the library by path and looks them up with dlsym.
 *
 * Threads: every function but closeWindow uses the windowing toolkit and must
 * be called on the thread that owns (or, through P11_ConsoleInit, creates) the
 * process's Qt application object. closeWindow only sets a flag and may be
 * called from any thread.
 *
 * No function reports an error: each returns 0 unless stated otherwise. Texts
 * are NUL-terminated UTF-8; invalid sequences are shown as U+FFFD. */
#ifndef CARROW_H
#define CARROW_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(CARROW_BUILDING)
#define CARROW_EXPORT __attribute__((visibility("default")))
#else
#define CARROW_EXPORT
#endif

/* Makes sure the process has a Qt application object, creating one (which
 * then lives for the rest of the process) when there is none. */
CARROW_EXPORT void P11_ConsoleInit(void);

/* Asks for the user PIN in a modal alert with a masked field and one "OK"
 * button; returns 0 once the user confirmed with "OK" (Escape and close
 * requests do not end it: the prompt cannot be cancelled). *pinLen receives the number of
 * characters typed (UTF-16 units) and pin receives exactly that many bytes of
 * the PIN's UTF-8 form, without a terminating NUL. The caller's buffer must
 * hold the PIN; its size is not passed. Null pointers are not written. */
CARROW_EXPORT int P11_BlockPopPin(char* pin, uint32_t* pinLen);

/* A modal alert with the message and one "OK" button; 0 once dismissed. */
CARROW_EXPORT int P11_ShowMsg(const char* message, uint32_t unused);

/* A modal alert with the message and the buttons "OK" then "Cancel" (titles
 * as written, not translated): 0 when
 * "OK" ended it, 1 for anything else (Cancel, Escape, closing the window). */
CARROW_EXPORT int P11_ShowMsg2(const char* message, uint32_t unused);

/* Runs the button-press countdown window (height x width, titled "按键提示",
 * with the key manager's picture <imageName>.gif and the line "剩余%d秒")
 * and blocks, handling the window's events, until the countdown has run out,
 * *flag reads 0 (checked once a second; flag may be null), closeWindow or
 * closeWindow_t was called, or the window was asked to close (then *flag is
 * set to 0). sourcePath is not used. Returns 0. */
CARROW_EXPORT int showCountDownWindow(int32_t seconds, const char* imageName, const char* sourcePath,
                                      int32_t height, int32_t width, int32_t* flag);

/* Ends the running countdown at its next tick (within a second). Only sets an
 * atomic flag: safe from any thread, and harmless when no countdown runs. */
CARROW_EXPORT void closeWindow(void);

/* Ends the running countdown and closes its window at once. From a thread
 * other than the GUI thread, the closing is queued to the GUI thread. */
CARROW_EXPORT void closeWindow_t(void);

#ifdef __cplusplus
}
#endif

#endif /* CARROW_H */
