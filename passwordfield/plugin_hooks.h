// The password field's content on the plug-in frame.
#pragma once

#include "npapi/npapi.h"

class CPluginImplement;

// The edit control of the instance behind a script object's handle; null
// when the instance has ended.
CPluginImplement* GetImplement(NPP npp);
