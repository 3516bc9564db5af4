// Register and PHY access (OHCI 1.1 PhyControl and CSR compare-swap; IEEE 1212 ROM CRC).
#include "register_access.h"

#include "bus_order.h"
#include "ohci_registers.h"

namespace {

constexpr ULONG kPhyPollLimit = 1000;
constexpr ULONG kPhyPollStallUs = 1000;

void ReadRegistersMemory(volatile ULONG* source, PULONG destination, ULONG count) {
    for (ULONG i = 0; i < count; ++i) destination[i] = READ_REGISTER_ULONG(source + i);
}

void WriteRegistersMemory(volatile ULONG* destination, const ULONG* source, ULONG count) {
    for (ULONG i = 0; i < count; ++i) WRITE_REGISTER_ULONG(destination + i, source[i]);
    KeMemoryBarrier();
}

ULONG ReadPhyControl(RegisterWindow* window) { return ReadRegisterValue(window, ohci::kPhyControl); }

}  // namespace

void InitializeRegisterAccess(RegisterWindow* window, volatile ULONG* registerBase) {
    window->ReadRegisters = ReadRegistersMemory;
    window->WriteRegisters = WriteRegistersMemory;
    window->RegisterBase = registerBase;
    KeInitializeSpinLock(&window->PhyLock);
}

void ReadRegister(RegisterWindow* window, ULONG offset, PULONG value) {
    volatile ULONG* base = window->RegisterBase;
    if (base == nullptr) return;
    window->ReadRegisters(base + offset / sizeof(ULONG), value, 1);
}

ULONG ReadRegisterValue(RegisterWindow* window, ULONG offset) {
    ULONG value = 0;
    ReadRegister(window, offset, &value);
    return value;
}

void WriteRegister(RegisterWindow* window, ULONG offset, ULONG value) {
    volatile ULONG* base = window->RegisterBase;
    if (base == nullptr) return;
    window->WriteRegisters(base + offset / sizeof(ULONG), &value, 1);
}

namespace {

// PhyControl takes one operation at a time: the PHY lock is held by the caller.
UCHAR ReadPhyLocked(RegisterWindow* window, UCHAR phyRegister) {
    WriteRegister(window, ohci::kPhyControl,
                  ohci::kPhyControlRdReg |
                      ((ULONG(phyRegister) << ohci::kPhyControlRegAddrShift) & ohci::kPhyControlRegAddrMask));
    for (ULONG poll = 0; poll < kPhyPollLimit; ++poll) {
        if (ReadPhyControl(window) & ohci::kPhyControlRdDone) break;
        KeStallExecutionProcessor(kPhyPollStallUs);
    }
    return UCHAR(ReadPhyControl(window) >> ohci::kPhyControlRdDataShift);
}

void WritePhyLocked(RegisterWindow* window, UCHAR phyRegister, UCHAR value) {
    WriteRegister(window, ohci::kPhyControl,
                  ohci::kPhyControlWrReg |
                      ((ULONG(phyRegister) << ohci::kPhyControlRegAddrShift) & ohci::kPhyControlRegAddrMask) |
                      (value & ohci::kPhyControlWrDataMask));
    for (ULONG poll = 0; poll < kPhyPollLimit; ++poll) {
        if (!(ReadPhyControl(window) & ohci::kPhyControlWrReg)) break;
        KeStallExecutionProcessor(kPhyPollStallUs);
    }
}

}  // namespace

// Callers on several processors (the bus thread, the deferred calls, program and class requests
// for a bus reset) share the one PhyControl register: each handshake is taken whole, or one
// caller reads another's data and a write is lost.
UCHAR ReadPhyRegister(RegisterWindow* window, UCHAR phyRegister) {
    KIRQL irql;
    KeAcquireSpinLock(&window->PhyLock, &irql);
    UCHAR value = ReadPhyLocked(window, phyRegister);
    KeReleaseSpinLock(&window->PhyLock, irql);
    return value;
}

void WritePhyRegister(RegisterWindow* window, UCHAR phyRegister, UCHAR value) {
    KIRQL irql;
    KeAcquireSpinLock(&window->PhyLock, &irql);
    WritePhyLocked(window, phyRegister, value);
    KeReleaseSpinLock(&window->PhyLock, irql);
}

void InitiateBusReset(RegisterWindow* window) {
    KIRQL irql;
    KeAcquireSpinLock(&window->PhyLock, &irql);
    UCHAR value = ReadPhyLocked(window, ohci::kPhyRegister1);
    WritePhyLocked(window, ohci::kPhyRegister1, UCHAR(value | ohci::kPhyIbr));
    KeReleaseSpinLock(&window->PhyLock, irql);
}

NTSTATUS CsrCompareSwap(RegisterWindow* window, PULONG selectorOld, ULONG newValue, ULONG compareValue) {
    if (window->RegisterBase == nullptr) return STATUS_IO_TIMEOUT;
    WriteRegister(window, ohci::kCSRReadData, newValue);
    WriteRegister(window, ohci::kCSRCompareData, compareValue);
    WriteRegister(window, ohci::kCSRControl, *selectorOld & ohci::kCSRControlSelectMask);

    // The unit completes in a few bus clocks; bound the poll by the clock, not by a count, so a
    // controller that never sets csrDone cannot hold the processor at dispatch level.
    LARGE_INTEGER frequency;
    LONGLONG start = KeQueryPerformanceCounter(&frequency).QuadPart;
    LONGLONG limit = frequency.QuadPart * kCsrSwapTimeoutUs / 1000000;
    for (;;) {
        ULONG control = 0;
        ReadRegister(window, ohci::kCSRControl, &control);
        if (control & ohci::kCSRControlDone) break;
        if (KeQueryPerformanceCounter(nullptr).QuadPart - start > limit) return STATUS_IO_TIMEOUT;
    }
    ULONG old = 0;
    ReadRegister(window, ohci::kCSRReadData, &old);
    *selectorOld = old;
    return STATUS_SUCCESS;
}

namespace {

// CRC-16 with generator x^16 + x^12 + x^5 + 1 (IEEE 1212), one byte at a time, most significant
// bit first.
struct CrcTable {
    USHORT Entry[256];
};

constexpr CrcTable MakeCrcTable() {
    CrcTable table = {};
    for (ULONG byte = 0; byte < 256; ++byte) {
        ULONG crc = byte << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
        table.Entry[byte] = USHORT(crc & 0xFFFF);
    }
    return table;
}

constexpr CrcTable kCrcTable = MakeCrcTable();
static_assert(kCrcTable.Entry[1] == 0x1021, "CRC-16 table of IEEE 1212");

ULONG CrcStep(ULONG crc, ULONG data) {
    for (int shift = 24; shift >= 0; shift -= 8)
        crc = ((crc << 8) ^ kCrcTable.Entry[((crc >> 8) ^ (data >> shift)) & 0xFF]) & 0xFFFF;
    return crc;
}

}  // namespace

USHORT RomCrc16(const ULONG* busOrderQuadlets, ULONG count) {
    ULONG crc = 0;
    for (ULONG i = 0; i < count; ++i) crc = CrcStep(crc, BusToHost32(busOrderQuadlets[i]));
    return USHORT(crc);
}

USHORT RomCrc16HostOrder(const ULONG* hostOrderQuadlets, ULONG count) {
    ULONG crc = 0;
    for (ULONG i = 0; i < count; ++i) crc = CrcStep(crc, hostOrderQuadlets[i]);
    return USHORT(crc);
}
