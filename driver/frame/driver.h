// Driver-wide state and the driver's entry points.
#pragma once

#include "kxplatform.h"

// Pool tags of the driver frame.
constexpr ULONG kTagRegistry = KX_TAG('Z', 'O', 'V', 'A');  // registry strings
constexpr ULONG kTagPlain = KX_TAG('Z', 'O', 'S', 'P');     // plain buffers
constexpr ULONG kTagClient = KX_TAG('Z', 'O', 'P', 'I');    // client records

// Tuning values under the service's Parameters key, read once at load and read-only afterwards.
struct DriverParameters {
    ULONGLONG SPLIT_TIMEOUT;     // ms, 100..40000; 0 means the default 100
    ULONG BandwidthForDriver;    // 0/1: the driver allocates bandwidth around user streams
    ULONG IsoRxNumOfBuf;         // 1..31 buffers per receive stream (0 only with an unreadable value)
    ULONG IsoRxStreamBase;       // 0 packet-per-buffer, 1 buffer-fill
    ULONG IsoTxNumOfBuf;         // 1..31 buffers per transmit stream
    ULONG IsoDirectDMA;          // 0/1: DMA straight into and out of the caller's buffers
    ULONG DesktopCameraEnable;   // 0/1: enumerate cameras after bus resets
    ULONG AsyncWait;             // ms of delay before each passive-level user asynchronous request
    ULONG aPhyEnhanceEnable;     // 0/1: HCControl.aPhyEnhanceEnable at bring-up
};

extern DriverParameters g_DriverParameters;
// WDM version offered by the system: major in the high byte, minor in the low byte.
extern USHORT g_WdmVersion;
// Copy of the service's registry path, kept for the driver's lifetime.
extern UNICODE_STRING g_RegistryPath;

// The split time-out in milliseconds that a controller uses: 0 stands for 100.
inline ULONGLONG EffectiveSplitTimeoutMs(const DriverParameters& parameters) {
    return parameters.SPLIT_TIMEOUT == 0 ? 100 : parameters.SPLIT_TIMEOUT;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
void DriverUnload(PDRIVER_OBJECT DriverObject);
