// The signing plug-in's names, strings and content for the plug-in frame.
#pragma once

#define PLUGIN_NAME "nptest Plug-in for DEMO"
#define PLUGIN_MIME_DESCRIPTION "application/x-vnd-nptest-demo::nptest Plug-in for DEMO"
#define PLUGIN_API_MINOR 27
#define PLUGIN_NEEDS_XEMBED 0
#define PLUGIN_SCRIPTABLE_BASE ScriptableObjectBase
#define PLUGIN_CONTENT_GETTER GetService

class PKCS11Impl;
using PluginContent = PKCS11Impl;
