// The services of kx_services.h that need structured exception handling.
//
// MmProbeAndLockPages, ProbeForRead/ProbeForWrite and any access to user memory raise an exception
// when the address is bad; a driver catches it with __try/__except. GCC cannot express that, so
// this one file is C built with clang for the same target (x86_64-w64-windows-gnu), whose
// __try/__except emits the x64 scope table that the kernel's __C_specific_handler walks. The
// build checks the scope tables in the object and in the image (tests/windows/check_image.py).
//
// Every access to user memory is a call (the file is built with -fno-builtin, so RtlCopyMemory
// stays a call to the kernel's memcpy): clang's __try covers exceptions raised inside calls, and
// a call cannot be moved out of the guarded range.
#include "kxplatform.h"

NTSTATUS KxProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        MmProbeAndLockPages(Mdl, AccessMode, Operation);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    return status;
}

NTSTATUS KxCopyFromUser(PVOID Destination, const void* UserSource, SIZE_T Length) {
    NTSTATUS status = STATUS_SUCCESS;
    if (Length == 0) return status;
    __try {
        ProbeForRead((PVOID)UserSource, Length, 1);
        RtlCopyMemory(Destination, UserSource, Length);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    return status;
}

NTSTATUS KxCopyToUser(PVOID UserDestination, const void* Source, SIZE_T Length) {
    NTSTATUS status = STATUS_SUCCESS;
    if (Length == 0) return status;
    __try {
        ProbeForWrite(UserDestination, Length, 1);
        RtlCopyMemory(UserDestination, Source, Length);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    return status;
}
