#pragma once
// The one place that includes the PKCS#11 v2.40 definitions. On Windows the header packs
// its structures to 1 byte and CK_ULONG is 32 bits, as the vendor modules expect.
#include <p11-kit/pkcs11.h>
