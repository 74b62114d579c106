// Base behaviour of the instance interface: streams and printing are
// accepted and ignored (the plug-ins use neither). How long an instance lives.
#include "pluginbase.h"

NPError nsPluginInstanceBase::NewStream(NPMIMEType, NPStream*, NPBool, uint16_t*) { return NPERR_NO_ERROR; }
NPError nsPluginInstanceBase::DestroyStream(NPStream*, NPReason) { return NPERR_NO_ERROR; }
void nsPluginInstanceBase::StreamAsFile(NPStream*, const char*) {}
int32_t nsPluginInstanceBase::WriteReady(NPStream*) { return 0x0FFFFFFF; }
int32_t nsPluginInstanceBase::Write(NPStream*, int32_t, int32_t len, void*) { return len; }
void nsPluginInstanceBase::Print(NPPrint*) {}
void nsPluginInstanceBase::URLNotify(const char*, NPReason, void*) {}
NPError nsPluginInstanceBase::SetValue(NPNVariable, void*) { return NPERR_NO_ERROR; }

InstanceHold::InstanceHold(nsPluginInstanceBase* plugin) : mPlugin(plugin) {
    if (mPlugin != nullptr) ++mPlugin->mHolds;
}

InstanceHold::~InstanceHold() {
    if (mPlugin != nullptr && --mPlugin->mHolds == 0 && mPlugin->mRetired) NS_DestroyPluginInstance(mPlugin);
}

void NS_RetirePluginInstance(nsPluginInstanceBase* aPlugin) {
    if (aPlugin == nullptr || aPlugin->mRetired) return;
    aPlugin->mRetired = true;
    NS_DetachPluginInstance(aPlugin);
    if (aPlugin->mHolds == 0) NS_DestroyPluginInstance(aPlugin);
}
