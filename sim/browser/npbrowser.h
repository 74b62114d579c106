// A small browser host for our NPAPI plug-ins: it loads a plug-in library,
// creates instances with page parameters, gives them a window, sends Cocoa
// events, draws them into a QImage and drives their scriptable objects.
// Used by the tests and by the nphost command; never by a deliverable.
//
// Conventions (pluginbase/README.md): NPNSString* is a QString*, the draw
// event's CGContextRef is a QPainter* in plug-in coordinates, NPWindow.window
// is an opaque non-null handle, and NPN_SetValue(9001, kind) sets the cursor.
//
// Threads: everything on the calling thread, which owns the Qt application
// (ensureApplication). One Browser at a time per process: the browser side
// of the function table is process-wide, as in a real browser.
#pragma once

#include <QImage>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pluginbase/npapi/npfunctions.h"

class QApplication;

namespace npbrowser {

// Makes sure the process has a QApplication (plug-ins draw text with Qt and
// the PIN prompt library opens widgets); creates one when there is none.
QApplication* ensureApplication();

// A script value on the browser's side.
struct Value {
    enum class Type { Void, Null, Bool, Int32, Double, String, Object };
    Type type = Type::Void;
    bool boolean = false;
    int32_t int32 = 0;
    double number = 0;
    std::string text;
    NPObject* object = nullptr;

    static Value makeText(std::string s);
    static Value makeInt(int32_t i);
    static Value makeDouble(double d);
    static Value makeBool(bool b);
    static Value makeObject(NPObject* o);
    static Value makeNull();

    // How nphost prints it: "text" quoted, numbers, true/false, void, null, [object].
    std::string describe() const;
};

// How the host answers a negotiation question.
enum class Answer { Yes, No, CallFails };

struct Settings {
    Answer coreGraphics = Answer::Yes;
    Answer cocoa = Answer::Yes;
    uint16_t version = 27;  // major 0 (high byte), minor 27
    uint16_t tableSize = sizeof(NPNetscapeFuncs);
    // The page's origin, as the browser reports it for NPNVdocumentOrigin
    // (22) in browser memory the plug-in frees ("null" for an opaque one);
    // nothing: the question fails, as in a browser that does not know it.
    std::optional<std::string> documentOrigin;
};

// A call a listener object received from the plug-in.
struct ListenerCall {
    std::string listener;
    std::vector<Value> args;
};

// Counters of what plug-ins did with browser services, process-wide.
struct Ledger {
    long objectsCreated = 0;
    long objectsDeallocated = 0;
    long retains = 0;
    long releases = 0;
    long memAllocated = 0;  // blocks from NPN_MemAlloc not yet freed
};
const Ledger& ledger();
// True while the object is alive (created by the host and not yet freed).
bool isLiveObject(const NPObject* object);

class Instance;

// Keys by name, as the platform's key events carry them (the private-use
// function-key units from 0xF700 up): return, enter, tab, backspace, delete
// (forward), left, right, up, down, home, end, pageup, pagedown, f1 ... f12,
// escape. An unknown name gives an empty string.
QString keyCharacters(const std::string& name);

class Browser {
public:
    explicit Browser(Settings settings = {});
    ~Browser();
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // dlopen + NP_GetEntryPoints + NP_Initialize. False with a one-line
    // error when the library or an entry point is missing, or the plug-in
    // refused (the NPError codes stay readable below).
    bool load(const std::string& path, std::string* error);
    // The same with entry points linked into this process.
    bool attach(NP_InitializeFunc initialize, NP_GetEntryPointsFunc getEntryPoints, NP_ShutdownFunc shutdown,
                NP_GetValueFunc getValue, std::string* error);

    NPError initializeResult() const { return initializeResult_; }
    NPError entryPointsResult() const { return entryPointsResult_; }
    const NPPluginFuncs& pluginFuncs() const { return pluginFuncs_; }
    const NPNetscapeFuncs& browserFuncs() const { return browserFuncs_; }
    Settings& settings() { return settings_; }

    // How often the plug-in called each browser entry (by table field name:
    // "getvalue", "write", "invalidaterect", ...), and which questions it
    // asked through getvalue (by variable number).
    int calls(const std::string& entry) const;
    int questions(int variable) const;

    // NP_GetValue without an instance.
    NPError pluginValue(NPPVariable variable, void* value) const;
    // NPP_GetMIMEDescription of a loaded library (null when not exported).
    const char* mimeDescription() const;

    // NPP_New with the page's parameters (names and values in page order).
    // Null with *error = the plug-in's code when it refused.
    std::unique_ptr<Instance> newInstance(const std::string& mimeType,
                                          const std::vector<std::pair<std::string, std::string>>& params,
                                          NPError* error);

private:
    bool start(std::string* error);

    Settings settings_;
    void* library_ = nullptr;
    NP_InitializeFunc initialize_ = nullptr;
    NP_GetEntryPointsFunc getEntryPoints_ = nullptr;
    NP_ShutdownFunc shutdown_ = nullptr;
    NP_GetValueFunc getValue_ = nullptr;
    NPNetscapeFuncs browserFuncs_{};
    NPPluginFuncs pluginFuncs_{};
    NPError initializeResult_ = NPERR_NO_ERROR;
    NPError entryPointsResult_ = NPERR_NO_ERROR;
    bool started_ = false;
    std::map<std::string, int> calls_;
    std::map<int, int> questions_;
    friend struct HostSide;
};

class Instance {
public:
    ~Instance();  // NPP_Destroy if still alive, then releases the host's references
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    // The instance handle; null once destroyed (the browser frees it then, so
    // a plug-in that keeps using it shows up under AddressSanitizer).
    NPP npp() { return npp_.get(); }
    Browser& browser() { return browser_; }
    int width() const { return static_cast<int>(window_.width); }
    int height() const { return static_cast<int>(window_.height); }

    // NPP_SetWindow with an opaque non-null window of that size.
    NPError setWindow(uint32_t width, uint32_t height);
    NPError setWindowRecord(NPWindow* window);
    // NPP_Destroy, as when the page removes the plug-in (also from inside a
    // call or event of that plug-in: page script runs there); then the
    // handle is freed.
    NPError destroy();
    bool destroyed() const { return destroyed_; }

    // Cocoa events; each returns NPP_HandleEvent's answer.
    int16_t sendEvent(NPCocoaEvent& event);
    int16_t mouseMoved(double x, double y);
    int16_t mouseDown(double x, double y);
    int16_t mouseUp(double x, double y);
    // A user's click: the pointer moves there, then the button goes down and up.
    void click(double x, double y);
    int16_t focus(bool hasFocus);
    int16_t keyDown(const QString& characters);
    // One key-down per character (a surrogate pair stays one event).
    void typeText(const QString& text);
    // A named key (keyCharacters); false for an unknown name.
    bool pressKey(const std::string& name);

    // A draw event for the whole plug-in into a new image (page white under it).
    QImage draw();
    // Like a browser, the host redraws after an event or script call that
    // invalidated the plug-in (on by default); the latest frame is kept.
    void setAutoRedraw(bool on) { autoRedraw_ = on; }
    const QImage& lastFrame() const { return lastFrame_; }
    // Redraws when the plug-in asked for it since the last frame.
    void redrawIfInvalidated();
    int16_t drawInto(QPainter* painter);

    // The scriptable object (NPP_GetValue, variable 15); the host keeps one
    // reference per successful request and releases it at the end.
    NPObject* scriptableObject(NPError* error = nullptr);
    bool hasMethod(const std::string& name);
    bool hasProperty(const std::string& name);
    bool invoke(const std::string& method, const std::vector<Value>& args, Value* result);
    bool invokeDefault(const std::vector<Value>& args, Value* result);
    bool getProperty(const std::string& name, Value* result);
    bool setProperty(const std::string& name, const Value& value);

    // A script function object that records each call it receives and then
    // runs onCall (page script reacting inside the event, e.g. reading the field).
    NPObject* newListener(const std::string& name, std::function<void()> onCall = {});
    // The page lets go of its own reference to an object the host holds (a
    // listener it made); false when the host holds none. Not for the
    // scriptable object the host makes its own calls through.
    bool dropReference(NPObject* object);
    const std::vector<ListenerCall>& listenerCalls() const { return listenerCalls_; }
    void clearListenerCalls() { listenerCalls_.clear(); }

    // What the plug-in asked of the host.
    int invalidations() const { return invalidations_; }
    NPRect lastInvalidRect() const { return lastInvalidRect_; }
    int cursorKind() const { return cursorKind_; }  // -1 until the plug-in sets one
    intptr_t drawingModel() const { return drawingModel_; }
    intptr_t eventModel() const { return eventModel_; }

private:
    friend class Browser;
    friend struct HostSide;
    explicit Instance(Browser& browser);

    Browser& browser_;
    std::unique_ptr<NPP_t> npp_;
    NPWindow window_{};
    int windowHandle_ = 0;  // its address is the opaque window
    bool destroyed_ = false;
    std::vector<NPObject*> held_;  // host references to release
    NPObject* scriptable_ = nullptr;
    std::vector<ListenerCall> listenerCalls_;
    int invalidations_ = 0;
    int drawnAtInvalidation_ = 0;
    bool autoRedraw_ = true;
    QImage lastFrame_;
    NPRect lastInvalidRect_{};
    int cursorKind_ = -1;
    intptr_t drawingModel_ = -1;
    intptr_t eventModel_ = -1;
};

// Converts between host values and NPAPI variants. A converted variant holds
// browser memory for its text; release it with NPN_ReleaseVariantValue's
// host side (releaseVariant).
NPVariant toVariant(const Value& value);
Value fromVariant(const NPVariant& variant);
void releaseVariant(NPVariant* variant);

}  // namespace npbrowser
