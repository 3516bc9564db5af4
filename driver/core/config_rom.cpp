#include "config_rom.h"

#include "async/async_packet.h"
#include "ohci/bus_order.h"
#include "controller.h"
#include "ohci/ohci_registers.h"
#include "ohci/register_access.h"

namespace {

constexpr ULONG kBusName = 0x31333934;  // "1394"
constexpr ULONG kBusInfoLength = 4;
constexpr ULONG kRomCrcLength = kConfigRomQuadlets - 1;
constexpr char kVendorName[] = "KX1394";  // at most nine characters
constexpr char kModelName[] = "1394 PC";
constexpr ULONG kDescriptorSpecifier = 0x80000000;
constexpr ULONG kDescriptorLanguage = 0x00000409;

ULONG Entry(ULONG key, ULONG value) { return (key << 24) | (value & 0xFFFFFF); }

// A directory or leaf header: length in quadlets and the CRC of the quadlets that follow.
void SealBlock(PULONG image, ULONG index, ULONG length) {
    image[index] = HostToBus32((length << 16) | RomCrc16(&image[index + 1], length));
}

// Text as UTF-16LE code units in byte order, zero-padded to `quadlets`.
void PutText(PULONG image, ULONG index, ULONG quadlets, const char* text) {
    PUCHAR bytes = reinterpret_cast<PUCHAR>(&image[index]);
    RtlZeroMemory(bytes, quadlets * 4);
    for (ULONG i = 0; text[i] != 0 && 2 * i + 1 < quadlets * 4; ++i) bytes[2 * i] = UCHAR(text[i]);
}

void PutTextLeaf(PULONG image, ULONG index, ULONG textQuadlets, const char* text) {
    image[index + 1] = HostToBus32(kDescriptorSpecifier);
    image[index + 2] = HostToBus32(kDescriptorLanguage);
    PutText(image, index + 3, textQuadlets, text);
    SealBlock(image, index, 2 + textQuadlets);
}

}  // namespace

ULONG RomBusOptions(ULONG busOptionsRegister) {
    ULONG maxRec = (busOptionsRegister >> 12) & 0xF;
    ULONG maxRom = maxRec >= 9 ? 2 : (maxRec >= 5 ? 1 : 0);
    return 0xF0000000 | (100u << 16) | (maxRec << 12) | (maxRom << 8) | (busOptionsRegister & 0x7);
}

void BuildConfigRomImage(PULONG image, ULONG busOptionsRegister, ULONG guidHi, ULONG guidLo) {
    RtlZeroMemory(image, kConfigRomQuadlets * 4);
    image[1] = HostToBus32(kBusName);
    image[2] = HostToBus32(RomBusOptions(busOptionsRegister));
    image[3] = HostToBus32(guidHi);
    image[4] = HostToBus32(guidLo);
    // Root directory at 0x14.
    image[6] = HostToBus32(Entry(0x0C, kRomNodeCapabilities));
    image[7] = HostToBus32(Entry(0x03, (guidHi >> 8) & kRomVendorCompanyIdMask));
    image[8] = HostToBus32(0x81000006);  // vendor name leaf at 0x38
    image[9] = HostToBus32(0xD1000001);  // unit directory at 0x28
    // Unit directory at 0x28.
    image[11] = HostToBus32(Entry(0x12, kRomUnitSpecId));
    image[12] = HostToBus32(Entry(0x17, kRomModelId));
    image[13] = HostToBus32(0x81000009);  // model name leaf at 0x58
    PutTextLeaf(image, 14, 5, kVendorName);
    PutTextLeaf(image, 22, 4, kModelName);
    SealBlock(image, 10, 3);
    SealBlock(image, 5, 4);
    image[0] = HostToBus32((kBusInfoLength << 24) | (kRomCrcLength << 16) | RomCrc16(&image[1], kRomCrcLength));
}

void SplitTimeoutCsr(ULONGLONG milliseconds, PULONG hi, PULONG lo) {
    ULONGLONG ms = milliseconds == 0 ? 100 : milliseconds;
    *hi = ULONG(ms / 1000);
    *lo = ULONG(((ms % 1000) << 22) & 0xFFF80000);
}

void LoadBusInfoBlockRegisters(OhciController* controller) {
    const ULONG* image = static_cast<const ULONG*>(controller->ConfigRom.Virtual);
    if (image == nullptr) return;
    WriteRegister(controller, ohci::kConfigROMhdr, BusToHost32(image[0]));
    WriteRegister(controller, ohci::kBusOptions, BusToHost32(image[2]));
    WriteRegister(controller, ohci::kGUIDHi, BusToHost32(image[3]));
    WriteRegister(controller, ohci::kGUIDLo, BusToHost32(image[4]));
}

void BuildConfigRom(OhciController* controller) {
    ULONG busOptions = 0;
    ReadRegister(controller, ohci::kBusOptions, &busOptions);
    BuildConfigRomImage(static_cast<PULONG>(controller->ConfigRom.Virtual), busOptions, controller->GuidHi,
                        controller->GuidLo);
    LoadBusInfoBlockRegisters(controller);
    LocalCsrValues* csr = &controller->LocalCsr;
    SplitTimeoutCsr(controller->SPLIT_TIMEOUT, &csr->SplitTimeoutHi, &csr->SplitTimeoutLo);
    NoteSplitTimeout(controller, csr->SplitTimeoutHi, csr->SplitTimeoutLo);
    csr->BandwidthAvailable = 0x1333;
    csr->ChannelsAvailableHi = 0xFFFFFFFE;
    csr->ChannelsAvailableLo = 0xFFFFFFFF;
}
