// Services both backends give the driver beyond the plain WDM vocabulary.
//
// These exist because the two kernels differ where C++ cannot paper over it: structured exception
// handling (probe-and-lock and access to user memory raise on Windows), wide string literals
// (WCHAR is wchar_t on Windows and char16_t on the host), and the pool-tag spelling.
#pragma once

// A wide literal usable on both builds: KX_WSTR("Parameters").
#define KX_WSTR(s) (reinterpret_cast<const WCHAR*>(u"" s))

// Four-character pool tag as the debugger shows it ('ZOVA' reads "ZOVA" in a pool dump).
#define KX_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))

#ifdef __cplusplus
extern "C" {
#endif

// MmProbeAndLockPages inside an exception frame: the status of the raised exception
// (STATUS_ACCESS_VIOLATION, ...) or STATUS_SUCCESS when the pages are locked.
NTSTATUS KxProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);

// Copies between a user-mode address of the current process and kernel memory, probing the user
// range first; a fault yields its status instead of raising.
NTSTATUS KxCopyFromUser(PVOID Destination, const void* UserSource, SIZE_T Length);
NTSTATUS KxCopyToUser(PVOID UserDestination, const void* Source, SIZE_T Length);

#ifdef __cplusplus
}
#endif
