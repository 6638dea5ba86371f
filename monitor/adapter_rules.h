// adapter_rules.h: which adapter counts as a working network connection for
// the monitor's adapter-state query. Internal to the module; stateless.
#pragma once

#include "vxplatform.h"

namespace VexloTool {

// Operational and not a tunnel, or connected whatever its type; and its
// description (descriptionLength bytes, which may include the terminator)
// does not contain "VMware" (exact case).
bool AdapterQualifies(DWORD operStatus, DWORD type, const BYTE* description,
                      DWORD descriptionLength);

}  // namespace VexloTool
