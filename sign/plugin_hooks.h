// The signing plug-in's content on the plug-in frame.
#pragma once

#include "npapi/npapi.h"

class PKCS11Impl;

// The signing service of the instance behind a script object's handle; null
// when the instance has ended or its page may not sign.
PKCS11Impl* GetService(NPP npp);
