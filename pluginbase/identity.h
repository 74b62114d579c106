// Who a plug-in says it is to the browser. Each plug-in's record is written
// by the build from its one qd_npapi_plugin call (pluginbase/CMakeLists.txt)
// and linked into the plug-in, where the frame reads it; the tests read the
// same record.
#pragma once

struct PluginIdentity {
    const char* name;             // NP_GetValue and NPP_GetValue, variables 1 and 2
    const char* mimeType;         // the type a page embeds
    const char* mimeDescription;  // NPP_GetMIMEDescription: "type::name"
    int apiMinor;                 // NP_GetEntryPoints and NPN_Version
    bool needsXEmbed;             // variable 14 stores true
};

// The record of the plug-in this code is linked into.
extern const PluginIdentity kPluginIdentity;
