/* Our declarations of the published browser plug-in interface (NPAPI): the
 * basic types, records, error codes and variable numbers, in their LP64 Linux
 * layout. Written from the published interface; the plug-ins and our test
 * host both compile against these, so they must match what any host passes.
 *
 * Linux conventions of our plug-ins are listed in pluginbase/README.md. */
#ifndef QD_NPAPI_H
#define QD_NPAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NP_VERSION_MAJOR 0

/* One byte, as the interface has it (not C++ bool). */
typedef unsigned char NPBool;
typedef int16_t NPError;
typedef int16_t NPReason;
typedef char* NPMIMEType;

typedef struct _NPP {
    void* pdata; /* the plug-in's */
    void* ndata; /* the browser's */
} NPP_t;
typedef NPP_t* NPP;

typedef struct _NPStream {
    void* pdata;
    void* ndata;
    const char* url;
    uint32_t end;
    uint32_t lastmodified;
    void* notifyData;
    const char* headers;
} NPStream;

typedef struct _NPByteRange {
    int32_t offset;
    uint32_t length;
    struct _NPByteRange* next;
} NPByteRange;

typedef struct _NPSavedData {
    int32_t len;
    void* buf;
} NPSavedData;

typedef struct _NPRect {
    uint16_t top;
    uint16_t left;
    uint16_t bottom;
    uint16_t right;
} NPRect;

typedef struct _NPSize {
    int32_t width;
    int32_t height;
} NPSize;

typedef void* NPRegion;

typedef enum { NPWindowTypeWindow = 1, NPWindowTypeDrawable } NPWindowType;

/* The Linux form carries ws_info between clipRect and type. */
typedef struct _NPWindow {
    void* window;
    int32_t x;
    int32_t y;
    uint32_t width;
    uint32_t height;
    NPRect clipRect;
    void* ws_info;
    NPWindowType type;
} NPWindow;

typedef struct _NPFullPrint {
    NPBool pluginPrinted;
    NPBool printOne;
    void* platformPrint;
} NPFullPrint;

typedef struct _NPEmbedPrint {
    NPWindow window;
    void* platformPrint;
} NPEmbedPrint;

typedef struct _NPPrint {
    uint16_t mode;
    union {
        NPFullPrint fullPrint;
        NPEmbedPrint embedPrint;
    } print;
} NPPrint;

/* Stream types and print modes. */
#define NP_NORMAL 1
#define NP_SEEK 2
#define NP_ASFILE 3
#define NP_ASFILEONLY 4
#define NP_MAXREADY (((unsigned)(~0) << 4) >> 4)

/* Instance modes. */
#define NP_EMBED 1
#define NP_FULL 2

/* Error codes. */
#define NPERR_BASE 0
#define NPERR_NO_ERROR (NPERR_BASE + 0)
#define NPERR_GENERIC_ERROR (NPERR_BASE + 1)
#define NPERR_INVALID_INSTANCE_ERROR (NPERR_BASE + 2)
#define NPERR_INVALID_FUNCTABLE_ERROR (NPERR_BASE + 3)
#define NPERR_MODULE_LOAD_FAILED_ERROR (NPERR_BASE + 4)
#define NPERR_OUT_OF_MEMORY_ERROR (NPERR_BASE + 5)
#define NPERR_INVALID_PLUGIN_ERROR (NPERR_BASE + 6)
#define NPERR_INVALID_PLUGIN_DIR_ERROR (NPERR_BASE + 7)
#define NPERR_INCOMPATIBLE_VERSION_ERROR (NPERR_BASE + 8)
#define NPERR_INVALID_PARAM (NPERR_BASE + 9)
#define NPERR_INVALID_URL (NPERR_BASE + 10)
#define NPERR_FILE_NOT_FOUND (NPERR_BASE + 11)
#define NPERR_NO_DATA (NPERR_BASE + 12)
#define NPERR_STREAM_NOT_SEEKABLE (NPERR_BASE + 13)

/* Stream end reasons. */
#define NPRES_DONE 0
#define NPRES_NETWORK_ERR 1
#define NPRES_USER_BREAK 2

/* Variables the browser asks the plug-in for. */
typedef enum {
    NPPVpluginNameString = 1,
    NPPVpluginDescriptionString,
    NPPVpluginWindowBool,
    NPPVpluginTransparentBool,
    NPPVjavaClass,
    NPPVpluginWindowSize,
    NPPVpluginTimerInterval,
    NPPVpluginScriptableInstance = 10,
    NPPVpluginScriptableIID = 11,
    NPPVjavascriptPushCallerBool = 12,
    NPPVpluginKeepLibraryInMemory = 13,
    NPPVpluginNeedsXEmbed = 14,
    NPPVpluginScriptableNPObject = 15,
    NPPVformValue = 16,
    NPPVpluginUrlRequestsDisplayedBool = 17,
    NPPVpluginWantsAllNetworkStreams = 18,
    NPPVpluginNativeAccessibleAtkPlugId = 19,
    NPPVpluginCancelSrcStream = 20,
    NPPVsupportsAdvancedKeyHandling = 21,
    NPPVpluginUsesDOMForCursorBool = 22,
    NPPVpluginDrawingModel = 1000,
    NPPVpluginEventModel = 1001,
    NPPVpluginCoreAnimationLayer = 1003,
    /* Our own variable (see pluginbase/README.md): the plug-in asks the host
     * for a mouse cursor with NPN_SetValue(npp, 9001, (void*)kind). Declared
     * here so that 9001 is a value of the type, not one cast into it. */
    NPPVpluginCursorKind_Linux = 9001
} NPPVariable;

/* Variables the plug-in asks the browser for. */
typedef enum {
    NPNVxDisplay = 1,
    NPNVxtAppContext,
    NPNVnetscapeWindow,
    NPNVjavascriptEnabledBool,
    NPNVasdEnabledBool,
    NPNVisOfflineBool,
    NPNVserviceManager = 10,
    NPNVDOMElement = 11,
    NPNVDOMWindow = 12,
    NPNVToolkit = 13,
    NPNVSupportsXEmbedBool = 14,
    NPNVWindowNPObject = 15,
    NPNVPluginElementNPObject = 16,
    NPNVSupportsWindowless = 17,
    NPNVprivateModeBool = 18,
    NPNVsupportsAdvancedKeyHandling = 21,
    NPNVdocumentOrigin = 22,
    NPNVpluginDrawingModel = 1000,
    NPNVsupportsCoreGraphicsBool = 2001,
    NPNVsupportsOpenGLBool = 2002,
    NPNVsupportsCoreAnimationBool = 2003,
    NPNVsupportsInvalidatingCoreAnimationBool = 2004,
    NPNVsupportsCocoaBool = 3001
} NPNVariable;

typedef enum {
    NPDrawingModelQuickDraw = 0,
    NPDrawingModelCoreGraphics = 1,
    NPDrawingModelOpenGL = 2,
    NPDrawingModelCoreAnimation = 3,
    NPDrawingModelInvalidatingCoreAnimation = 4
} NPDrawingModel;

typedef enum { NPEventModelCarbon = 0, NPEventModelCocoa = 1 } NPEventModel;

/* The cursors of NPPVpluginCursorKind_Linux. */
enum { NPCursorArrow_Linux = 0, NPCursorIBeam_Linux = 1 };

/* Cocoa event model. NPNSString* points to a QString in our hosts and
 * CGContextRef to a QPainter (pluginbase/README.md). */
typedef struct NPNSString NPNSString;
typedef struct CGContext* CGContextRef;

typedef enum {
    NPCocoaEventDrawRect = 1,
    NPCocoaEventMouseDown,
    NPCocoaEventMouseUp,
    NPCocoaEventMouseMoved,
    NPCocoaEventMouseEntered,
    NPCocoaEventMouseExited,
    NPCocoaEventMouseDragged,
    NPCocoaEventKeyDown,
    NPCocoaEventKeyUp,
    NPCocoaEventFlagsChanged,
    NPCocoaEventFocusChanged,
    NPCocoaEventWindowFocusChanged,
    NPCocoaEventScrollWheel,
    NPCocoaEventTextInput
} NPCocoaEventType;

typedef struct _NPCocoaEvent {
    NPCocoaEventType type;
    uint32_t version;
    union {
        struct {
            uint32_t modifierFlags;
            double pluginX;
            double pluginY;
            int32_t buttonNumber;
            int32_t clickCount;
            double deltaX;
            double deltaY;
            double deltaZ;
        } mouse;
        struct {
            uint32_t modifierFlags;
            NPNSString* characters;
            NPNSString* charactersIgnoringModifiers;
            NPBool isARepeat;
            uint16_t keyCode;
        } key;
        struct {
            CGContextRef context;
            double x;
            double y;
            double width;
            double height;
        } draw;
        struct {
            NPBool hasFocus;
        } focus;
        struct {
            NPNSString* text;
        } text;
    } data;
} NPCocoaEvent;

#ifdef __cplusplus
}
#endif

#endif /* QD_NPAPI_H */
