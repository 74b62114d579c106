// The four entry points every plug-in library exports, for the programs that
// link a plug-in's code directly (tests, benchmarks) instead of loading it.
#pragma once

#include "npapi/npfunctions.h"

extern "C" {
NPError NP_Initialize(NPNetscapeFuncs* bFuncs, NPPluginFuncs* pFuncs);
NPError NP_GetEntryPoints(NPPluginFuncs* pFuncs);
NPError NP_Shutdown(void);
NPError NP_GetValue(void* future, NPPVariable variable, void* value);
}
