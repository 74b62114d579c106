// The password field's names, strings and content for the plug-in frame.
#pragma once

#define PLUGIN_NAME "Varnex Plug-in for QMRT"
#define PLUGIN_MIME_DESCRIPTION "application/x-vnd-dorn-varnex-qmrt::Varnex Plug-in for QMRT"
#define PLUGIN_API_MINOR 24
#define PLUGIN_NEEDS_XEMBED 1
#define PLUGIN_SCRIPTABLE_BASE ScriptablePluginObjectBase
#define PLUGIN_CONTENT_GETTER GetImplement

class CPluginImplement;
using PluginContent = CPluginImplement;
