#include "npbrowser.h"

#include <dlfcn.h>

#include <QApplication>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace npbrowser {

namespace {

Ledger gLedger;
std::set<const NPObject*> gLiveObjects;
Browser* gBrowser = nullptr;

// Identifiers are interned for the life of the process, as browsers do.
struct Identifier {
    bool isString;
    std::string name;
    int32_t number;
};
std::map<std::string, std::unique_ptr<Identifier>>& stringIds() {
    static std::map<std::string, std::unique_ptr<Identifier>> ids;
    return ids;
}
std::map<int32_t, std::unique_ptr<Identifier>>& intIds() {
    static std::map<int32_t, std::unique_ptr<Identifier>> ids;
    return ids;
}

Identifier* internString(const std::string& name) {
    auto& slot = stringIds()[name];
    if (!slot) slot = std::make_unique<Identifier>(Identifier{true, name, 0});
    return slot.get();
}

Instance* instanceOf(NPP npp) { return npp == nullptr ? nullptr : static_cast<Instance*>(npp->ndata); }

char* copyToBrowserMemory(const std::string& s) {
    auto* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p == nullptr) return nullptr;
    ++gLedger.memAllocated;
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// Script function objects of the page: they record their calls.
struct ListenerObject : NPObject {
    Instance* owner;
    std::string name;
    std::function<void()> onCall;
};

}  // namespace

// The browser's side of the function table. A struct so that Instance can
// befriend it.
struct HostSide {
    static void count(const char* entry) {
        if (gBrowser != nullptr) ++gBrowser->calls_[entry];
    }

    static NPError getvalue(NPP npp, NPNVariable variable, void* value) {
        count("getvalue");
        if (gBrowser == nullptr || value == nullptr) return NPERR_INVALID_PARAM;
        ++gBrowser->questions_[variable];
        if (variable == NPNVdocumentOrigin) {
            const auto& origin = gBrowser->settings().documentOrigin;
            if (instanceOf(npp) == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
            if (!origin) return NPERR_GENERIC_ERROR;
            char* copy = copyToBrowserMemory(*origin);
            if (copy == nullptr) return NPERR_OUT_OF_MEMORY_ERROR;
            *static_cast<char**>(value) = copy;
            return NPERR_NO_ERROR;
        }
        Answer answer;
        if (variable == NPNVsupportsCoreGraphicsBool)
            answer = gBrowser->settings().coreGraphics;
        else if (variable == NPNVsupportsCocoaBool)
            answer = gBrowser->settings().cocoa;
        else
            return instanceOf(npp) == nullptr ? NPERR_INVALID_INSTANCE_ERROR : NPERR_GENERIC_ERROR;
        if (answer == Answer::CallFails) return NPERR_GENERIC_ERROR;
        *static_cast<NPBool*>(value) = answer == Answer::Yes ? 1 : 0;
        return NPERR_NO_ERROR;
    }

    static NPError setvalue(NPP npp, NPPVariable variable, void* value) {
        count("setvalue");
        Instance* in = instanceOf(npp);
        if (in == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
        const auto v = reinterpret_cast<intptr_t>(value);
        switch (static_cast<int>(variable)) {
            case NPPVpluginDrawingModel:
                if (v != NPDrawingModelCoreGraphics) return NPERR_GENERIC_ERROR;
                in->drawingModel_ = v;
                return NPERR_NO_ERROR;
            case NPPVpluginEventModel:
                if (v != NPEventModelCocoa) return NPERR_GENERIC_ERROR;
                in->eventModel_ = v;
                return NPERR_NO_ERROR;
            case NPPVpluginCursorKind_Linux:
                in->cursorKind_ = static_cast<int>(v);
                return NPERR_NO_ERROR;
            default:
                return NPERR_GENERIC_ERROR;
        }
    }

    static void invalidaterect(NPP npp, NPRect* rect) {
        count("invalidaterect");
        if (Instance* in = instanceOf(npp)) {
            ++in->invalidations_;
            if (rect != nullptr) in->lastInvalidRect_ = *rect;
        }
    }
    static void invalidateregion(NPP npp, NPRegion) {
        if (Instance* in = instanceOf(npp)) ++in->invalidations_;
    }
    static void forceredraw(NPP) {}

    static void* memalloc(uint32_t size) {
        count("memalloc");
        void* p = std::malloc(size == 0 ? 1 : size);
        if (p != nullptr) ++gLedger.memAllocated;
        return p;
    }
    static void memfree(void* p) {
        if (p != nullptr) {
            --gLedger.memAllocated;
            std::free(p);
        }
    }
    static uint32_t memflush(uint32_t) { return 0; }

    static NPIdentifier getstringidentifier(const NPUTF8* name) {
        return name == nullptr ? nullptr : internString(name);
    }
    static void getstringidentifiers(const NPUTF8** names, int32_t count, NPIdentifier* ids) {
        for (int32_t i = 0; i < count; ++i) ids[i] = getstringidentifier(names[i]);
    }
    static NPIdentifier getintidentifier(int32_t number) {
        auto& slot = intIds()[number];
        if (!slot) slot = std::make_unique<Identifier>(Identifier{false, {}, number});
        return slot.get();
    }
    static bool identifierisstring(NPIdentifier id) {
        return id != nullptr && static_cast<Identifier*>(id)->isString;
    }
    static NPUTF8* utf8fromidentifier(NPIdentifier id) {
        if (!identifierisstring(id)) return nullptr;
        return copyToBrowserMemory(static_cast<Identifier*>(id)->name);
    }
    static int32_t intfromidentifier(NPIdentifier id) {
        return id == nullptr || identifierisstring(id) ? INT32_MIN : static_cast<Identifier*>(id)->number;
    }

    static NPObject* createobject(NPP npp, NPClass* aClass) {
        count("createobject");
        if (aClass == nullptr) return nullptr;
        NPObject* o = aClass->allocate != nullptr ? aClass->allocate(npp, aClass)
                                                  : static_cast<NPObject*>(std::calloc(1, sizeof(NPObject)));
        if (o == nullptr) return nullptr;
        o->_class = aClass;
        o->referenceCount = 1;
        ++gLedger.objectsCreated;
        gLiveObjects.insert(o);
        return o;
    }
    static NPObject* retainobject(NPObject* o) {
        if (o != nullptr) {
            ++o->referenceCount;
            ++gLedger.retains;
        }
        return o;
    }
    static void releaseobject(NPObject* o) {
        if (o == nullptr) return;
        ++gLedger.releases;
        if (gLiveObjects.count(o) == 0) {
            std::fprintf(stderr, "nphost: release of an object that is not alive\n");
            std::abort();  // a test host must make such a fault loud
        }
        if (--o->referenceCount == 0) {
            gLiveObjects.erase(o);
            ++gLedger.objectsDeallocated;
            if (o->_class != nullptr && o->_class->deallocate != nullptr)
                o->_class->deallocate(o);
            else
                std::free(o);
        }
    }

    static bool invoke(NPP, NPObject* o, NPIdentifier name, const NPVariant* args, uint32_t n, NPVariant* r) {
        return o != nullptr && o->_class->invoke != nullptr && o->_class->invoke(o, name, args, n, r);
    }
    static bool invokeDefault(NPP, NPObject* o, const NPVariant* args, uint32_t n, NPVariant* r) {
        return o != nullptr && o->_class->invokeDefault != nullptr && o->_class->invokeDefault(o, args, n, r);
    }
    static bool getproperty(NPP, NPObject* o, NPIdentifier name, NPVariant* r) {
        return o != nullptr && o->_class->getProperty != nullptr && o->_class->getProperty(o, name, r);
    }
    static bool setproperty(NPP, NPObject* o, NPIdentifier name, const NPVariant* v) {
        return o != nullptr && o->_class->setProperty != nullptr && o->_class->setProperty(o, name, v);
    }
    static bool hasproperty(NPP, NPObject* o, NPIdentifier name) {
        return o != nullptr && o->_class->hasProperty != nullptr && o->_class->hasProperty(o, name);
    }
    static bool hasmethod(NPP, NPObject* o, NPIdentifier name) {
        return o != nullptr && o->_class->hasMethod != nullptr && o->_class->hasMethod(o, name);
    }
    static bool removeproperty(NPP, NPObject*, NPIdentifier) { return false; }
    static bool evaluate(NPP, NPObject*, NPString*, NPVariant*) { return false; }
    static void releasevariantvalue(NPVariant* v) { releaseVariant(v); }
    static void setexception(NPObject*, const NPUTF8* message) {
        std::fprintf(stderr, "nphost: script exception: %s\n", message == nullptr ? "(null)" : message);
    }
    static const char* uagent(NPP) {
        count("uagent");
        return "nphost/1.0";
    }
    static NPError geturl(NPP, const char*, const char*) {
        count("geturl");
        return NPERR_GENERIC_ERROR;
    }
    static NPError geturlnotify(NPP, const char*, const char*, void*) {
        count("geturlnotify");
        return NPERR_GENERIC_ERROR;
    }
    static NPError newstream(NPP, NPMIMEType, const char*, NPStream**) {
        count("newstream");
        return NPERR_GENERIC_ERROR;
    }
    static int32_t write(NPP, NPStream*, int32_t len, void*) {
        count("write");
        return len;
    }
    static NPError destroystream(NPP, NPStream*, NPReason) {
        count("destroystream");
        return NPERR_NO_ERROR;
    }
    static void status(NPP, const char* message) {
        std::printf("status: %s\n", message == nullptr ? "(null)" : message);
    }

    // Listener objects.
    static NPObject* listenerAllocate(NPP, NPClass*) { return new ListenerObject{}; }
    static void listenerDeallocate(NPObject* o) { delete static_cast<ListenerObject*>(o); }
    static bool listenerInvokeDefault(NPObject* o, const NPVariant* args, uint32_t n, NPVariant* result) {
        auto* l = static_cast<ListenerObject*>(o);
        ListenerCall call{l->name, {}};
        for (uint32_t i = 0; i < n; ++i) call.args.push_back(fromVariant(args[i]));
        if (l->owner != nullptr) l->owner->listenerCalls_.push_back(std::move(call));
        VOID_TO_NPVARIANT(*result);
        if (l->onCall) l->onCall();
        return true;
    }
};

namespace {

NPClass gListenerClass = {NP_CLASS_STRUCT_VERSION,
                          HostSide::listenerAllocate,
                          HostSide::listenerDeallocate,
                          nullptr,
                          nullptr,
                          nullptr,
                          HostSide::listenerInvokeDefault,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

void fillBrowserTable(NPNetscapeFuncs* t, const Settings& s) {
    std::memset(t, 0, sizeof *t);
    t->size = s.tableSize;
    t->version = s.version;
    t->geturl = HostSide::geturl;
    t->geturlnotify = HostSide::geturlnotify;
    t->newstream = HostSide::newstream;
    t->write = HostSide::write;
    t->destroystream = HostSide::destroystream;
    t->uagent = HostSide::uagent;
    t->status = HostSide::status;
    t->memalloc = HostSide::memalloc;
    t->memfree = HostSide::memfree;
    t->memflush = HostSide::memflush;
    t->getvalue = HostSide::getvalue;
    t->setvalue = HostSide::setvalue;
    t->invalidaterect = HostSide::invalidaterect;
    t->invalidateregion = HostSide::invalidateregion;
    t->forceredraw = HostSide::forceredraw;
    t->getstringidentifier = HostSide::getstringidentifier;
    t->getstringidentifiers = HostSide::getstringidentifiers;
    t->getintidentifier = HostSide::getintidentifier;
    t->identifierisstring = HostSide::identifierisstring;
    t->utf8fromidentifier = HostSide::utf8fromidentifier;
    t->intfromidentifier = HostSide::intfromidentifier;
    t->createobject = HostSide::createobject;
    t->retainobject = HostSide::retainobject;
    t->releaseobject = HostSide::releaseobject;
    t->invoke = HostSide::invoke;
    t->invokeDefault = HostSide::invokeDefault;
    t->evaluate = HostSide::evaluate;
    t->getproperty = HostSide::getproperty;
    t->setproperty = HostSide::setproperty;
    t->removeproperty = HostSide::removeproperty;
    t->hasproperty = HostSide::hasproperty;
    t->hasmethod = HostSide::hasmethod;
    t->releasevariantvalue = HostSide::releasevariantvalue;
    t->setexception = HostSide::setexception;
}

}  // namespace

QApplication* ensureApplication() {
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return app;
    if (QCoreApplication::instance() != nullptr)
        return nullptr;  // a non-widget application object is the caller's
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "nphost";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
}

const Ledger& ledger() { return gLedger; }
bool isLiveObject(const NPObject* object) { return gLiveObjects.count(object) != 0; }

Value Value::makeText(std::string s) {
    Value v;
    v.type = Type::String;
    v.text = std::move(s);
    return v;
}
Value Value::makeInt(int32_t i) {
    Value v;
    v.type = Type::Int32;
    v.int32 = i;
    return v;
}
Value Value::makeDouble(double d) {
    Value v;
    v.type = Type::Double;
    v.number = d;
    return v;
}
Value Value::makeBool(bool b) {
    Value v;
    v.type = Type::Bool;
    v.boolean = b;
    return v;
}
Value Value::makeObject(NPObject* o) {
    Value v;
    v.type = Type::Object;
    v.object = o;
    return v;
}
Value Value::makeNull() {
    Value v;
    v.type = Type::Null;
    return v;
}

std::string Value::describe() const {
    switch (type) {
        case Type::Void:
            return "void";
        case Type::Null:
            return "null";
        case Type::Bool:
            return boolean ? "true" : "false";
        case Type::Int32:
            return std::to_string(int32);
        case Type::Double: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%g", number);
            return buf;
        }
        case Type::String:
            return "\"" + text + "\"";
        case Type::Object:
            return "[object]";
    }
    return "void";
}

NPVariant toVariant(const Value& value) {
    NPVariant v;
    VOID_TO_NPVARIANT(v);
    switch (value.type) {
        case Value::Type::Void:
            break;
        case Value::Type::Null:
            NULL_TO_NPVARIANT(v);
            break;
        case Value::Type::Bool:
            BOOLEAN_TO_NPVARIANT(value.boolean, v);
            break;
        case Value::Type::Int32:
            INT32_TO_NPVARIANT(value.int32, v);
            break;
        case Value::Type::Double:
            DOUBLE_TO_NPVARIANT(value.number, v);
            break;
        case Value::Type::String: {
            // Not NUL-terminated on purpose: plug-ins must honour the length.
            auto* chars = static_cast<char*>(HostSide::memalloc(static_cast<uint32_t>(value.text.size())));
            if (chars != nullptr && !value.text.empty())
                std::memcpy(chars, value.text.data(), value.text.size());
            STRINGN_TO_NPVARIANT(chars, static_cast<uint32_t>(value.text.size()), v);
            break;
        }
        case Value::Type::Object:
            HostSide::retainobject(value.object);
            OBJECT_TO_NPVARIANT(value.object, v);
            break;
    }
    return v;
}

Value fromVariant(const NPVariant& v) {
    switch (v.type) {
        case NPVariantType_Void:
            return Value();
        case NPVariantType_Null:
            return Value::makeNull();
        case NPVariantType_Bool:
            return Value::makeBool(v.value.boolValue);
        case NPVariantType_Int32:
            return Value::makeInt(v.value.intValue);
        case NPVariantType_Double:
            return Value::makeDouble(v.value.doubleValue);
        case NPVariantType_String:
            return Value::makeText(
                v.value.stringValue.UTF8Characters == nullptr
                    ? std::string()
                    : std::string(v.value.stringValue.UTF8Characters, v.value.stringValue.UTF8Length));
        case NPVariantType_Object:
            return Value::makeObject(v.value.objectValue);
    }
    return Value();
}

void releaseVariant(NPVariant* v) {
    if (v == nullptr) return;
    if (v->type == NPVariantType_String)
        HostSide::memfree(const_cast<NPUTF8*>(v->value.stringValue.UTF8Characters));
    else if (v->type == NPVariantType_Object)
        HostSide::releaseobject(v->value.objectValue);
    VOID_TO_NPVARIANT(*v);
}

QString keyCharacters(const std::string& name) {
    static const std::map<std::string, char16_t> keys = {
        {"return", 13},   {"enter", 3},       {"tab", 9},           {"backspace", 127}, {"delete", 0xF728},
        {"left", 0xF702}, {"right", 0xF703},  {"up", 0xF700},       {"down", 0xF701},   {"home", 0xF729},
        {"end", 0xF72B},  {"pageup", 0xF72C}, {"pagedown", 0xF72D}, {"escape", 27},     {"f1", 0xF704},
        {"f2", 0xF705},   {"f3", 0xF706},     {"f4", 0xF707},       {"f5", 0xF708},     {"f6", 0xF709},
        {"f7", 0xF70A},   {"f8", 0xF70B},     {"f9", 0xF70C},       {"f10", 0xF70D},    {"f11", 0xF70E},
        {"f12", 0xF70F}};
    auto it = keys.find(name);
    if (it == keys.end()) return QString();
    return QString(QChar(it->second));
}

// ---- Browser ----

Browser::Browser(Settings settings) : settings_(settings) {}

Browser::~Browser() {
    if (started_ && shutdown_ != nullptr) shutdown_();
    if (gBrowser == this) gBrowser = nullptr;
    if (library_ != nullptr) dlclose(library_);
}

bool Browser::load(const std::string& path, std::string* error) {
    // The library stays mapped for the life of the process (as browsers that
    // cache plug-ins keep it), so what it and its own libraries set up once
    // stays theirs; NP_Shutdown is still called.
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (library_ == nullptr) {
        *error = std::string("cannot load the plug-in: ") + dlerror();
        return false;
    }
    initialize_ = reinterpret_cast<NP_InitializeFunc>(dlsym(library_, "NP_Initialize"));
    getEntryPoints_ = reinterpret_cast<NP_GetEntryPointsFunc>(dlsym(library_, "NP_GetEntryPoints"));
    shutdown_ = reinterpret_cast<NP_ShutdownFunc>(dlsym(library_, "NP_Shutdown"));
    getValue_ = reinterpret_cast<NP_GetValueFunc>(dlsym(library_, "NP_GetValue"));
    if (initialize_ == nullptr || getEntryPoints_ == nullptr || shutdown_ == nullptr ||
        getValue_ == nullptr) {
        *error = "the library is not a plug-in: an entry point is missing";
        return false;
    }
    return start(error);
}

bool Browser::attach(NP_InitializeFunc initialize, NP_GetEntryPointsFunc getEntryPoints,
                     NP_ShutdownFunc shutdown, NP_GetValueFunc getValue, std::string* error) {
    initialize_ = initialize;
    getEntryPoints_ = getEntryPoints;
    shutdown_ = shutdown;
    getValue_ = getValue;
    return start(error);
}

bool Browser::start(std::string* error) {
    if (gBrowser != nullptr && gBrowser != this) {
        *error = "another browser is running in this process";
        return false;
    }
    gBrowser = this;
    ensureApplication();
    fillBrowserTable(&browserFuncs_, settings_);
    std::memset(&pluginFuncs_, 0, sizeof pluginFuncs_);
    pluginFuncs_.size = sizeof pluginFuncs_;
    entryPointsResult_ = getEntryPoints_(&pluginFuncs_);
    initializeResult_ = initialize_(&browserFuncs_, &pluginFuncs_);
    if (entryPointsResult_ != NPERR_NO_ERROR || initializeResult_ != NPERR_NO_ERROR) {
        *error = "the plug-in refused to start: NP_GetEntryPoints " + std::to_string(entryPointsResult_) +
                 ", NP_Initialize " + std::to_string(initializeResult_);
        return false;
    }
    started_ = true;
    return true;
}

int Browser::calls(const std::string& entry) const {
    auto it = calls_.find(entry);
    return it == calls_.end() ? 0 : it->second;
}

int Browser::questions(int variable) const {
    auto it = questions_.find(variable);
    return it == questions_.end() ? 0 : it->second;
}

NPError Browser::pluginValue(NPPVariable variable, void* value) const {
    return getValue_ == nullptr ? NPERR_GENERIC_ERROR : getValue_(nullptr, variable, value);
}

const char* Browser::mimeDescription() const {
    if (library_ == nullptr) return nullptr;
    using Fn = const char* (*)();
    auto fn = reinterpret_cast<Fn>(dlsym(library_, "_Z22NPP_GetMIMEDescriptionv"));
    return fn == nullptr ? nullptr : fn();
}

std::unique_ptr<Instance> Browser::newInstance(const std::string& mimeType,
                                               const std::vector<std::pair<std::string, std::string>>& params,
                                               NPError* error) {
    std::unique_ptr<Instance> in(new Instance(*this));
    std::vector<std::string> names, values;
    for (const auto& [n, v] : params) {
        names.push_back(n);
        values.push_back(v);
    }
    std::vector<char*> argn, argv;
    for (size_t i = 0; i < names.size(); ++i) {
        argn.push_back(names[i].data());
        argv.push_back(values[i].data());
    }
    std::string mime = mimeType;
    const NPError rc = pluginFuncs_.newp == nullptr ? NPERR_INVALID_PLUGIN_ERROR
                                                    : pluginFuncs_.newp(mime.data(), in->npp(), NP_EMBED,
                                                                        static_cast<int16_t>(argn.size()),
                                                                        argn.data(), argv.data(), nullptr);
    if (error != nullptr) *error = rc;
    if (rc != NPERR_NO_ERROR) {
        in->destroyed_ = true;
        in->npp_.reset();
        return nullptr;
    }
    return in;
}

// ---- Instance ----

Instance::Instance(Browser& browser) : browser_(browser), npp_(std::make_unique<NPP_t>()) {
    npp_->ndata = this;
}

Instance::~Instance() {
    destroy();
    for (NPObject* o : held_) {
        if (o->_class == &gListenerClass) static_cast<ListenerObject*>(o)->owner = nullptr;
        HostSide::releaseobject(o);
    }
}

NPError Instance::destroy() {
    if (destroyed_) return NPERR_NO_ERROR;
    destroyed_ = true;
    NPSavedData* saved = nullptr;
    const NPError rc = browser_.pluginFuncs().destroy(npp_.get(), &saved);
    npp_.reset();  // as a browser does: the plug-in must not use it again
    return rc;
}

NPError Instance::setWindow(uint32_t width, uint32_t height) {
    window_.window = &windowHandle_;
    window_.x = 0;
    window_.y = 0;
    window_.width = width;
    window_.height = height;
    window_.clipRect = NPRect{0, 0, static_cast<uint16_t>(height), static_cast<uint16_t>(width)};
    window_.ws_info = nullptr;
    window_.type = NPWindowTypeDrawable;
    return setWindowRecord(&window_);
}

NPError Instance::setWindowRecord(NPWindow* window) {
    if (destroyed_) return NPERR_INVALID_INSTANCE_ERROR;
    return browser_.pluginFuncs().setwindow(npp_.get(), window);
}

int16_t Instance::sendEvent(NPCocoaEvent& event) {
    if (destroyed_) return 0;
    const int16_t handled = browser_.pluginFuncs().event(npp_.get(), &event);
    if (event.type != NPCocoaEventDrawRect && autoRedraw_) redrawIfInvalidated();
    return handled;
}

void Instance::redrawIfInvalidated() {
    if (destroyed_ || window_.window == nullptr || invalidations_ == drawnAtInvalidation_) return;
    draw();
}

namespace {
NPCocoaEvent mouseEvent(NPCocoaEventType type, double x, double y) {
    NPCocoaEvent e;
    std::memset(&e, 0, sizeof e);
    e.type = type;
    e.data.mouse.pluginX = x;
    e.data.mouse.pluginY = y;
    e.data.mouse.clickCount = type == NPCocoaEventMouseDown || type == NPCocoaEventMouseUp ? 1 : 0;
    return e;
}
}  // namespace

int16_t Instance::mouseMoved(double x, double y) {
    NPCocoaEvent e = mouseEvent(NPCocoaEventMouseMoved, x, y);
    return sendEvent(e);
}
int16_t Instance::mouseDown(double x, double y) {
    NPCocoaEvent e = mouseEvent(NPCocoaEventMouseDown, x, y);
    return sendEvent(e);
}
int16_t Instance::mouseUp(double x, double y) {
    NPCocoaEvent e = mouseEvent(NPCocoaEventMouseUp, x, y);
    return sendEvent(e);
}

void Instance::click(double x, double y) {
    mouseMoved(x, y);
    mouseDown(x, y);
    mouseUp(x, y);
}

int16_t Instance::focus(bool hasFocus) {
    NPCocoaEvent e;
    std::memset(&e, 0, sizeof e);
    e.type = NPCocoaEventFocusChanged;
    e.data.focus.hasFocus = hasFocus ? 1 : 0;
    return sendEvent(e);
}

int16_t Instance::keyDown(const QString& characters) {
    QString chars = characters;
    QString plain = characters;
    NPCocoaEvent e;
    std::memset(&e, 0, sizeof e);
    e.type = NPCocoaEventKeyDown;
    e.data.key.characters = reinterpret_cast<NPNSString*>(&chars);
    e.data.key.charactersIgnoringModifiers = reinterpret_cast<NPNSString*>(&plain);
    const int16_t handled = sendEvent(e);
    NPCocoaEvent up = e;
    up.type = NPCocoaEventKeyUp;
    sendEvent(up);
    return handled;
}

void Instance::typeText(const QString& text) {
    for (int i = 0; i < text.size(); ++i) {
        int n = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        keyDown(text.mid(i, n));
        i += n - 1;
    }
}

bool Instance::pressKey(const std::string& name) {
    const QString chars = keyCharacters(name);
    if (chars.isEmpty()) return false;
    keyDown(chars);
    return true;
}

int16_t Instance::drawInto(QPainter* painter) {
    NPCocoaEvent e;
    std::memset(&e, 0, sizeof e);
    e.type = NPCocoaEventDrawRect;
    e.data.draw.context = reinterpret_cast<CGContextRef>(painter);
    e.data.draw.x = 0;
    e.data.draw.y = 0;
    e.data.draw.width = window_.width;
    e.data.draw.height = window_.height;
    return sendEvent(e);
}

QImage Instance::draw() {
    drawnAtInvalidation_ = invalidations_;
    QImage image(static_cast<int>(window_.width), static_cast<int>(window_.height),
                 QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    drawInto(&painter);
    painter.end();
    lastFrame_ = image;
    return image;
}

NPObject* Instance::scriptableObject(NPError* error) {
    NPObject* object = nullptr;
    if (destroyed_) {
        if (error != nullptr) *error = NPERR_INVALID_INSTANCE_ERROR;
        return nullptr;
    }
    const NPError rc = browser_.pluginFuncs().getvalue(npp_.get(), NPPVpluginScriptableNPObject, &object);
    if (error != nullptr) *error = rc;
    if (rc != NPERR_NO_ERROR || object == nullptr) return nullptr;
    held_.push_back(object);
    return object;
}

namespace {
NPObject* cachedScriptable(Instance* in, NPObject*& cached) {
    if (cached == nullptr) cached = in->scriptableObject();
    return cached;
}
}  // namespace

bool Instance::hasMethod(const std::string& name) {
    NPObject* o = cachedScriptable(this, scriptable_);
    return HostSide::hasmethod(npp_.get(), o, internString(name));
}

bool Instance::hasProperty(const std::string& name) {
    NPObject* o = cachedScriptable(this, scriptable_);
    return HostSide::hasproperty(npp_.get(), o, internString(name));
}

namespace {
struct Args {
    std::vector<NPVariant> v;
    explicit Args(const std::vector<Value>& values) {
        for (const Value& x : values) v.push_back(toVariant(x));
    }
    ~Args() {
        for (NPVariant& x : v) releaseVariant(&x);
    }
};

bool finish(bool ok, NPVariant& r, Value* result) {
    if (result != nullptr) *result = fromVariant(r);
    releaseVariant(&r);
    return ok;
}
}  // namespace

bool Instance::invoke(const std::string& method, const std::vector<Value>& values, Value* result) {
    NPObject* o = cachedScriptable(this, scriptable_);
    Args args(values);
    NPVariant r;
    VOID_TO_NPVARIANT(r);
    const bool ok = HostSide::invoke(npp_.get(), o, internString(method), args.v.data(),
                                     static_cast<uint32_t>(args.v.size()), &r);
    if (autoRedraw_) redrawIfInvalidated();
    return finish(ok, r, result);
}

bool Instance::invokeDefault(const std::vector<Value>& values, Value* result) {
    NPObject* o = cachedScriptable(this, scriptable_);
    Args args(values);
    NPVariant r;
    VOID_TO_NPVARIANT(r);
    const bool ok =
        HostSide::invokeDefault(npp_.get(), o, args.v.data(), static_cast<uint32_t>(args.v.size()), &r);
    return finish(ok, r, result);
}

bool Instance::getProperty(const std::string& name, Value* result) {
    NPObject* o = cachedScriptable(this, scriptable_);
    NPVariant r;
    VOID_TO_NPVARIANT(r);
    const bool ok = HostSide::getproperty(npp_.get(), o, internString(name), &r);
    return finish(ok, r, result);
}

bool Instance::setProperty(const std::string& name, const Value& value) {
    NPObject* o = cachedScriptable(this, scriptable_);
    Args args({value});
    return HostSide::setproperty(npp_.get(), o, internString(name), &args.v[0]);
}

NPObject* Instance::newListener(const std::string& name, std::function<void()> onCall) {
    NPObject* o = HostSide::createobject(npp_.get(), &gListenerClass);
    if (o == nullptr) return nullptr;
    auto* l = static_cast<ListenerObject*>(o);
    l->owner = this;
    l->name = name;
    l->onCall = std::move(onCall);
    held_.push_back(o);
    return o;
}

bool Instance::dropReference(NPObject* object) {
    auto it = std::find(held_.begin(), held_.end(), object);
    if (it == held_.end()) return false;
    held_.erase(it);
    HostSide::releaseobject(object);
    return true;
}

}  // namespace npbrowser
