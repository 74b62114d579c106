// NPP_ gate. Calls without an instance, or without an instance object, never
// reach plug-in code. No exception leaves a gate function: the browser is C.
#include "npp_gate.h"

#include <cstdio>
#include <new>

#include "identity.h"
#include "pluginbase.h"

namespace {

nsPluginInstanceBase* objectOf(NPP instance) {
    return instance == nullptr ? nullptr : static_cast<nsPluginInstanceBase*>(instance->pdata);
}

// A browser answer that is true only when the call succeeded and said so.
// Runs plug-in code for the browser: an exception never reaches the browser,
// which is C; the call answers `fallback` instead.
template <typename R, typename F>
R guarded(R fallback, F&& call) {
    try {
        return call();
    } catch (...) {
        return fallback;
    }
}

bool browserSays(NPP instance, NPNVariable variable) {
    NPBool answer = 0;
    return NPN_GetValue(instance, variable, &answer) == NPERR_NO_ERROR && answer != 0;
}

}  // namespace

NPError NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc, char* argn[], char* argv[],
                NPSavedData* saved) {
    if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
    if (!browserSays(instance, NPNVsupportsCoreGraphicsBool)) {
        std::printf("no supportsCoreGraphics\n");
        std::fflush(stdout);
        return NPERR_INCOMPATIBLE_VERSION_ERROR;
    }
    NPN_SetValue(instance, NPPVpluginDrawingModel, reinterpret_cast<void*>(NPDrawingModelCoreGraphics));
    if (!browserSays(instance, NPNVsupportsCocoaBool)) {
        std::printf("no supportsCocoa\n");
        std::fflush(stdout);
        return NPERR_INCOMPATIBLE_VERSION_ERROR;
    }
    NPN_SetValue(instance, NPPVpluginEventModel, reinterpret_cast<void*>(NPEventModelCocoa));

    nsPluginCreateData ds{instance, pluginType, mode, argc, argn, argv, saved};
    nsPluginInstanceBase* plugin = nullptr;
    try {
        plugin = NS_NewPluginInstance(&ds);
    } catch (...) {
        plugin = nullptr;
    }
    if (plugin == nullptr) return NPERR_OUT_OF_MEMORY_ERROR;
    instance->pdata = plugin;
    return NPERR_NO_ERROR;
}

NPError NPP_Destroy(NPP instance, NPSavedData** /*save*/) {
    if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
    nsPluginInstanceBase* plugin = objectOf(instance);
    if (plugin != nullptr) {
        // Deleted now, or by the call of the plug-in's that is still running
        // (page script removed the plug-in from inside it) once it returns.
        instance->pdata = nullptr;
        guarded(0, [&] {
            plugin->shut();
            NS_RetirePluginInstance(plugin);
            return 0;
        });
    }
    return NPERR_NO_ERROR;
}

NPError NPP_SetWindow(NPP instance, NPWindow* pNPWindow) {
    if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
    if (pNPWindow == nullptr) return NPERR_GENERIC_ERROR;
    nsPluginInstanceBase* plugin = objectOf(instance);
    if (plugin == nullptr) return NPERR_GENERIC_ERROR;
    if (!plugin->isInitialized() && pNPWindow->window != nullptr) {
        if (!plugin->init(pNPWindow)) {
            instance->pdata = nullptr;
            NS_RetirePluginInstance(plugin);
            return NPERR_MODULE_LOAD_FAILED_ERROR;
        }
    }
    const NPError result =
        guarded<NPError>(NPERR_GENERIC_ERROR, [&] { return plugin->SetWindow(instance, pNPWindow); });
    // A window present on a still uninitialised object is accepted whatever
    // the object answered.
    if (pNPWindow->window != nullptr && !plugin->isInitialized()) return NPERR_NO_ERROR;
    return result;
}

NPError NPP_NewStream(NPP instance, NPMIMEType type, NPStream* stream, NPBool seekable, uint16_t* stype) {
    if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
    nsPluginInstanceBase* plugin = objectOf(instance);
    if (plugin == nullptr) return NPERR_GENERIC_ERROR;
    return plugin->NewStream(type, stream, seekable, stype);
}

NPError NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason) {
    if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
    nsPluginInstanceBase* plugin = objectOf(instance);
    if (plugin == nullptr) return NPERR_GENERIC_ERROR;
    return plugin->DestroyStream(stream, reason);
}

int32_t NPP_WriteReady(NPP instance, NPStream* stream) {
    nsPluginInstanceBase* plugin = objectOf(instance);
    if (plugin == nullptr) return 0x0FFFFFFF;
    return plugin->WriteReady(stream);
}

int32_t NPP_Write(NPP instance, NPStream* stream, int32_t offset, int32_t len, void* buffer) {
    nsPluginInstanceBase* plugin = objectOf(instance);
    if (plugin == nullptr) return len;
    return plugin->Write(stream, offset, len, buffer);
}

void NPP_StreamAsFile(NPP instance, NPStream* stream, const char* fname) {
    if (nsPluginInstanceBase* plugin = objectOf(instance)) plugin->StreamAsFile(stream, fname);
}

void NPP_Print(NPP instance, NPPrint* printInfo) {
    if (nsPluginInstanceBase* plugin = objectOf(instance)) plugin->Print(printInfo);
}

int16_t NPP_HandleEvent(NPP instance, void* event) {
    nsPluginInstanceBase* plugin = objectOf(instance);
    if (plugin == nullptr) return 0;
    InstanceHold hold(plugin);  // the event may fire page script that removes the plug-in
    return guarded<int16_t>(0, [&] { return plugin->HandleEvent(instance, event); });
}

void NPP_URLNotify(NPP instance, const char* url, NPReason reason, void* notifyData) {
    if (nsPluginInstanceBase* plugin = objectOf(instance)) plugin->URLNotify(url, reason, notifyData);
}

NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value) {
    if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
    nsPluginInstanceBase* plugin = objectOf(instance);
    if (plugin == nullptr) return NPERR_GENERIC_ERROR;
    // The name (and for some plug-ins the XEmbed answer) is stored before the
    // instance is asked, which then answers with its own code.
    if (value != nullptr) {
        if (variable == NPPVpluginNameString || variable == NPPVpluginDescriptionString)
            *static_cast<const char**>(value) = kPluginIdentity.name;
        else if (variable == NPPVpluginNeedsXEmbed && kPluginIdentity.needsXEmbed)
            *static_cast<NPBool*>(value) = 1;
    }
    return guarded<NPError>(NPERR_GENERIC_ERROR, [&] { return plugin->GetValue(variable, value); });
}

NPError NPP_SetValue(NPP instance, NPNVariable variable, void* value) {
    if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
    nsPluginInstanceBase* plugin = objectOf(instance);
    if (plugin == nullptr) return NPERR_GENERIC_ERROR;
    return plugin->SetValue(variable, value);
}
