// Register and PHY access: every access of the driver to the OHCI controller goes through here.
#pragma once

#include "kxplatform.h"

// Register access routines, chosen when the window is set up. Registers are always accessed one
// 32-bit word at a time.
typedef void (*ReadRegistersRoutine)(volatile ULONG* source, PULONG destination, ULONG count);
typedef void (*WriteRegistersRoutine)(volatile ULONG* destination, const ULONG* source, ULONG count);

// The controller's register window and the routines that reach it.
struct RegisterWindow {
    volatile ULONG* RegisterBase;  // first memory window; null while absent or shut down
    ReadRegistersRoutine ReadRegisters;
    WriteRegistersRoutine WriteRegisters;
    KSPIN_LOCK PhyLock;            // one PhyControl handshake (or read-modify-write) at a time
};

// Installs the register access routines and the register window (null: absent).
void InitializeRegisterAccess(RegisterWindow* window, volatile ULONG* registerBase);

// Reads one register into *value. With no register window nothing is read and *value keeps its
// previous content, which makes late callers after shutdown harmless.
void ReadRegister(RegisterWindow* window, ULONG offset, PULONG value);
// The value of one register (0 with no register window).
[[nodiscard]] ULONG ReadRegisterValue(RegisterWindow* window, ULONG offset);
// Writes one register followed by a full memory barrier; ignored with no register window.
void WriteRegister(RegisterWindow* window, ULONG offset, ULONG value);

// PHY registers through PhyControl. Each poll of the handshake that finds it incomplete busy-waits
// 1 ms; after 1000 polls the routine gives up silently (a read then returns whatever rdData holds).
[[nodiscard]] UCHAR ReadPhyRegister(RegisterWindow* window, UCHAR phyRegister);
void WritePhyRegister(RegisterWindow* window, UCHAR phyRegister, UCHAR value);

// Sets IBR in PHY register 1: a long bus reset.
void InitiateBusReset(RegisterWindow* window);

// Selectors of the serial-bus resource registers the link's CSR unit compares and swaps.
enum CsrSelector : ULONG {
    kCsrBusManagerId = 0,
    kCsrBandwidthAvailable = 1,
    kCsrChannelsAvailableHi = 2,
    kCsrChannelsAvailableLo = 3,
};

// Compare-and-swap of a serial-bus resource register through CSRReadData/CSRCompareData/
// CSRControl. On entry *selectorOld holds the selector; on success it receives the old value.
// csrDone is polled for at most kCsrSwapTimeoutUs of clock time (the unit answers in well under a
// microsecond); past that, or with no register window, STATUS_IO_TIMEOUT is returned and
// *selectorOld is left unchanged.
constexpr ULONG kCsrSwapTimeoutUs = 1000;
[[nodiscard]] NTSTATUS CsrCompareSwap(RegisterWindow* window, PULONG selectorOld, ULONG newValue,
                                      ULONG compareValue);

// IEEE 1212 CRC-16 over `count` quadlets stored in bus order.
[[nodiscard]] USHORT RomCrc16(const ULONG* busOrderQuadlets, ULONG count);
// The same CRC over quadlets held in host order (the host-order TOPOLOGY_MAP).
[[nodiscard]] USHORT RomCrc16HostOrder(const ULONG* hostOrderQuadlets, ULONG count);
