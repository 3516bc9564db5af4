// The local node's configuration ROM (IEEE 1212, IEEE 1394 8.3.2.5): bus information block, root
// directory with vendor and node capabilities, one unit directory, two textual descriptor leaves.
#pragma once

#include "kxplatform.h"

struct OhciController;

constexpr ULONG kConfigRomQuadlets = 29;
constexpr ULONG kRomVendorCompanyIdMask = 0xFFFFFF;
constexpr ULONG kRomModelId = 0x000001;
constexpr ULONG kRomNodeCapabilities = 0x0083C0;
constexpr ULONG kRomUnitSpecId = 0x0050F2;

// Bus options of the ROM from the controller's BusOptions register: irmc, cmc, isc, bmc set,
// cyc_clk_acc 100 ppm, max_rec and link_spd as the link reports them, max_ROM from max_rec.
[[nodiscard]] ULONG RomBusOptions(ULONG busOptionsRegister);

// Builds the 29-quadlet image in bus order.
void BuildConfigRomImage(PULONG image, ULONG busOptionsRegister, ULONG guidHi, ULONG guidLo);

// The split time-out CSR values for a time-out in milliseconds (0 stands for 100).
void SplitTimeoutCsr(ULONGLONG milliseconds, PULONG hi, PULONG lo);

// Builds the image in the controller's ConfigRom buffer, loads the bus information block
// registers from it and sets the local CSR values.
void BuildConfigRom(OhciController* controller);

// Writes ConfigROMhdr, BusOptions, GUIDHi and GUIDLo from quadlets 0, 2, 3 and 4 of the image.
void LoadBusInfoBlockRegisters(OhciController* controller);
