// The one header through which driver code reaches the kernel.
//
// Driver sources are written against the WDM names and types themselves (IoCompleteRequest,
// KeAcquireSpinLock, PIRP, NTSTATUS, ...). On Windows this header pulls in the kernel headers of
// mingw-w64; on the host build it declares the same subset, with the same widths (ULONG is 32 bits
// on both), implemented by the user-mode host kernel. Nothing outside driver/platform/ may test
// which backend it is built for.
#pragma once

#if defined(KX_HOST)
#include "host/hk_wdm.h"
#else
#include "wdm/kx_wdm.h"
#endif

#include "kx_services.h"
