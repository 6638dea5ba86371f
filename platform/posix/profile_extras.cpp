// profile_extras.cpp: VxPrepareUnicodeProfile of the Linux layer: nothing to
// do, new profile files are UTF-8. Conformance tests: tests/util/ini_file_test.cpp.
#include "vxplatform.h"

BOOL VxPrepareUnicodeProfile(LPCWSTR) {
    return TRUE;
}
