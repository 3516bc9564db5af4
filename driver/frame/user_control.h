// The user control interface: what the device-control dispatcher hands to the handlers of the
// private control codes (kx1394.h), and the handlers the frame itself carries out: client
// registration and bus event notification.
#pragma once

#include "kxplatform.h"

struct OhciController;

// Longest input record of the code table (the asynchronous request record).
constexpr ULONG kMaxControlInput = 96;

// One private control request as its handler sees it. The input is a private copy taken before
// anything is written; the output bytes up to the request's Information are zero on entry.
struct ControlRequest {
    OhciController* Controller;
    PIRP Irp;
    const UCHAR* Input;
    ULONG InputLength;
    PUCHAR Output;           // null when the code has no output
    ULONG OutputLength;
    bool Is32bit;            // the caller is a 32-bit process: 32-bit record layouts
};

// Little-endian fields at any byte offset of a record.
inline USHORT LoadU16(const UCHAR* p) { return USHORT(p[0] | (p[1] << 8)); }
inline ULONG LoadU32(const UCHAR* p) {
    return ULONG(p[0]) | (ULONG(p[1]) << 8) | (ULONG(p[2]) << 16) | (ULONG(p[3]) << 24);
}
inline ULONGLONG LoadU64(const UCHAR* p) { return ULONGLONG(LoadU32(p)) | (ULONGLONG(LoadU32(p + 4)) << 32); }
inline void StoreU16(PUCHAR p, USHORT v) {
    p[0] = UCHAR(v);
    p[1] = UCHAR(v >> 8);
}
inline void StoreU32(PUCHAR p, ULONG v) {
    for (ULONG i = 0; i < 4; ++i) p[i] = UCHAR(v >> (8 * i));
}
inline void StoreU64(PUCHAR p, ULONGLONG v) {
    StoreU32(p, ULONG(v));
    StoreU32(p + 4, ULONG(v >> 32));
}

// A handle field of a record: a 32-bit program's handle is sign-extended, as the system extends
// the handles of 32-bit programs.
inline HANDLE UserHandleAt(const UCHAR* field, bool is32bit) {
    if (is32bit) return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(LoadU32(field))));
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(LoadU64(field)));
}

// An address field of a record: a 32-bit program's address is zero-extended (a large-address-aware
// program has addresses between 2 and 4 GiB, which sign extension would turn into kernel addresses).
inline ULONGLONG UserAddressAt(const UCHAR* field, bool is32bit) {
    return is32bit ? ULONGLONG(LoadU32(field)) : LoadU64(field);
}

// Access the driver needs to an event of a program: wait on it and set it.
constexpr ACCESS_MASK kUserEventAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;

// IOCTL_REGISTER_CLIENT: registers the calling process with its termination event; false when
// the handle is not an event of the caller or no record can be had.
[[nodiscard]] bool RegisterClient(OhciController* controller, const ControlRequest* request);

// IOCTL_SET_BUS_RESET_EVENT (kind 0) and IOCTL_SET_BUS_READY_EVENT (kind 1); handle 0 removes
// the registration of that kind.
constexpr ULONG kBusResetNotification = 0;
constexpr ULONG kBusReadyNotification = 1;
[[nodiscard]] NTSTATUS RegisterBusNotification(OhciController* controller, HANDLE handle, ULONG kind);
// Registrations of processes that ended without removing them (a program registered with
// IOCTL_REGISTER_CLIENT loses them at its end already): passive level.
void RemoveEndedProcessNotifications(OhciController* controller);
// Teardown: every remaining registration goes.
void RemoveAllNotifications(OhciController* controller);
