// Enumeration of the units on the bus after each bus reset: every node's bus information block
// and root directory are read, the unit directory classifies the node, and the list of served
// devices is compared with the one of the previous pass.
#include "bus_device.h"
#include "async/async_packet.h"
#include "core/hooks.h"
#include "ohci/pool_tags.h"

namespace {

constexpr ULONGLONG kRomBase = 0xFFFFF0000400ull;
constexpr ULONGLONG kRomEnd = 0xFFFFF0000800ull;  // the 1 KB configuration ROM region
constexpr ULONG kBusName1394 = 0x31333934;
constexpr ULONG kMaxTextQuadlets = kDeviceTextBytes / 4;
constexpr ULONG kDeviceRecordTag = BusListTag(24 - 17);  // ZB24

// Directory and leaf addresses must stay inside the ROM: a length or offset from the bus never
// sends the reads elsewhere.
bool InRom(ULONGLONG address) { return address >= kRomBase && address < kRomEnd && (address & 3) == 0; }

ULONG EntriesIn(ULONGLONG directory, ULONG header) {
    ULONG length = header >> 16;
    ULONGLONG room = (kRomEnd - directory) / 4 - 1;
    return length > room ? ULONG(room) : length;
}

struct UnitKindRow {
    ULONG Spec;
    ULONG Version;
    ULONG Kind;
    ULONG DeviceType;
};
constexpr UnitKindRow kUnitKinds[] = {
    {0x1200A02D, 0x13000100, kUnitIidcCamera, 0x2F},
    {0x1200A02D, 0x13000101, kUnitIidcCamera, 0x2F},
    {0x1200A02D, 0x13000102, kUnitIidcCamera, 0x2F},
    {0x1200609E, 0x13010483, kUnitSbp2, 0x07},
    {0x1200A02D, 0x13014000, kUnitIidc14000, 0x22},
};

struct RomReader {
    OhciController* Controller;
    ULONG Generation;
    UCHAR Node;
    ULONG Read(ULONGLONG address, PULONG value, bool swap) const {
        return ReadNodeQuadlet(Controller, Node, address, value, swap, Generation);
    }
};

// A text leaf: its header and at most 1024 bytes of text, NUL-terminated. A leaf outside the ROM
// or shorter than its two descriptor quadlets leaves the text empty.
ULONG ReadTextLeaf(const RomReader& rom, ULONGLONG leaf, PULONG header, PCHAR text) {
    text[0] = 0;
    if (leaf == 0 || !InRom(leaf)) return kReadDone;
    ULONG result = rom.Read(leaf, header, true);
    if (result != kReadDone) return result;
    ULONG length = *header >> 16;
    if (length < 2) return kReadDone;
    ULONG quadlets = length - 2;
    if (quadlets > kMaxTextQuadlets) quadlets = kMaxTextQuadlets;
    ULONG done = 0;
    for (; done < quadlets; ++done) {
        ULONGLONG address = leaf + 12 + 4ull * done;
        if (!InRom(address)) break;
        ULONG raw = 0;
        result = rom.Read(address, &raw, false);
        // A leaf that ends before its length says (a short ROM) keeps the text read so far.
        if (result == kReadFailed) break;
        if (result != kReadDone) return result;
        RtlCopyMemory(text + 4 * done, &raw, 4);
    }
    text[4 * done] = 0;
    return kReadDone;
}

ULONG FillIdentity(const RomReader& rom, DeviceRecord* record) {
    ULONG value = 0;
    ULONG result = rom.Read(kRomBase + 4, &value, true);
    if (result != kReadDone) return result;
    if (value != kBusName1394) return kReadFailed;
    if ((result = rom.Read(kRomBase + 0xC, &record->EuiHigh, true)) != kReadDone) return result;
    if ((result = rom.Read(kRomBase + 0x10, &record->EuiLow, true)) != kReadDone) return result;

    // Root directory: the vendor name leaf that follows a vendor entry, the last unit directory.
    ULONGLONG root = kRomBase + 0x14;
    ULONG header = 0;
    if ((result = rom.Read(root, &header, true)) != kReadDone) return result;
    ULONGLONG vendorLeaf = 0, modelLeaf = 0, unit = 0, logicalUnit = 0;
    bool vendorSeen = false;
    for (ULONG i = 0, n = EntriesIn(root, header); i < n; ++i) {
        ULONGLONG at = root + 4 + 4ull * i;
        ULONG entry = 0;
        if ((result = rom.Read(at, &entry, true)) == kReadFailed) break;  // a directory cut short ends
        if (result != kReadDone) return result;
        ULONG key = entry >> 24;
        ULONGLONG target = at + 4ull * (entry & 0xFFFFFF);
        if (key == 0x03) {
            vendorSeen = true;
        } else if (key == 0x81 && vendorSeen) {
            vendorLeaf = target;
            vendorSeen = false;
        } else if (key == 0xD1) {
            unit = target;
        }
    }
    if (unit == 0 || !InRom(unit)) return kReadFailed;

    // Unit directory: spec and version entries, the leaves after vendor and model entries, the
    // logical unit directory.
    record->UnitDirectoryAddress = unit;
    if ((result = rom.Read(unit, &header, true)) != kReadDone) return result;
    record->UnitDirectorySize = 4 * (header >> 16) + 4;
    ULONG spec = 0, version = 0, lastSeen = 0;
    for (ULONG i = 0, n = EntriesIn(unit, header); i < n; ++i) {
        ULONGLONG at = unit + 4 + 4ull * i;
        ULONG entry = 0;
        if ((result = rom.Read(at, &entry, true)) == kReadFailed) break;  // a directory cut short ends
        if (result != kReadDone) return result;
        ULONG key = entry >> 24;
        ULONGLONG target = at + 4ull * (entry & 0xFFFFFF);
        switch (key) {
        case 0x03: lastSeen = 0x03; break;
        case 0x12: spec = entry; break;
        case 0x13: version = entry; break;
        case 0x17: lastSeen = 0x17; break;
        case 0x81:
            if (lastSeen == 0x17) modelLeaf = target;
            if (lastSeen == 0x03) vendorLeaf = target;
            lastSeen = 0;
            break;
        case 0xD4: logicalUnit = target; break;
        default: break;
        }
        if (spec != 0 && version != 0 && modelLeaf != 0 && vendorLeaf != 0) break;
    }
    if (spec == 0 || version == 0) return kReadFailed;
    record->UnitKind = 0;
    for (const UnitKindRow& row : kUnitKinds)
        if (row.Spec == spec && row.Version == version) {
            record->UnitKind = row.Kind;
            record->DeviceType = row.DeviceType;
        }
    if (record->UnitKind == 0) return kReadFailed;
    record->UnitSpecId = spec & 0xFFFFFF;
    record->UnitSwVersion = version & 0xFFFFFF;

    if (logicalUnit != 0 && InRom(logicalUnit)) {
        record->LogicalUnitDirectoryAddress = logicalUnit;
        if ((result = rom.Read(logicalUnit, &header, true)) != kReadDone) return result;
        record->LogicalUnitDirectorySize = 4 * (header >> 16) + 4;
        for (ULONG i = 0, n = EntriesIn(logicalUnit, header); i < n; ++i) {
            if (vendorLeaf != 0 && modelLeaf != 0) break;
            ULONGLONG at = logicalUnit + 4 + 4ull * i;
            ULONG entry = 0;
            if ((result = rom.Read(at, &entry, true)) == kReadFailed) break;  // a directory cut short ends
        if (result != kReadDone) return result;
            ULONGLONG target = at + 4ull * (entry & 0xFFFFFF);
            if ((entry >> 24) == 0x81) vendorLeaf = target;
            if ((entry >> 24) == 0x82) modelLeaf = target;
        }
    }
    if ((result = ReadTextLeaf(rom, vendorLeaf, &record->VendorLeafHeader, record->VendorText)) != kReadDone)
        return result;
    return ReadTextLeaf(rom, modelLeaf, &record->ModelLeafHeader, record->ModelText);
}

// A record of the same device whose child is marked absent but still reported to Plug and Play.
DeviceRecord* FindReturning(PLIST_ENTRY list, const DeviceRecord* record) {
    for (PLIST_ENTRY e = list->Flink; e != list; e = e->Flink) {
        DeviceRecord* other = CONTAINING_RECORD(e, DeviceRecord, Links);
        if (other->ChildDevice == nullptr) continue;
        ChildDeviceExtension* child = ChildExtension(other->ChildDevice);
        if (child->Present || child->ReportedMissing) continue;
        if (other->EuiHigh != record->EuiHigh || other->EuiLow != record->EuiLow) continue;
        if (RtlCompareMemory(other->VendorText, record->VendorText, kDeviceTextBytes) != kDeviceTextBytes) continue;
        if (RtlCompareMemory(other->ModelText, record->ModelText, kDeviceTextBytes) != kDeviceTextBytes) continue;
        return other;
    }
    return nullptr;
}

void FreeList(PLIST_ENTRY list) {
    while (!IsListEmpty(list)) bus::FreeDeviceRecord(CONTAINING_RECORD(RemoveHeadList(list), DeviceRecord, Links));
}

}  // namespace

namespace bus {

void FreeDeviceRecord(DeviceRecord* record) { FreeTaggedPool(record, kDeviceRecordTag); }

ULONG ReadDeviceIdentity(ControllerDeviceExtension* controller, ULONG generation, UCHAR node, DeviceRecord** out) {
    *out = nullptr;
    auto* record = static_cast<DeviceRecord*>(AllocateZeroedPool(sizeof(DeviceRecord), kDeviceRecordTag));
    if (record == nullptr) return kReadFailed;
    record->Controller = controller;
    RomReader rom{&controller->Controller, generation, node};
    ULONG result = FillIdentity(rom, record);
    if (result != kReadDone) {
        FreeDeviceRecord(record);
        return result;
    }
    record->Node = node;
    *out = record;
    return kReadDone;
}

DeviceRecord* FindDeviceRecord(PLIST_ENTRY list, const DeviceRecord* record) {
    for (PLIST_ENTRY e = list->Flink; e != list; e = e->Flink) {
        DeviceRecord* other = CONTAINING_RECORD(e, DeviceRecord, Links);
        if (other->EuiHigh != record->EuiHigh || other->EuiLow != record->EuiLow) continue;
        if (RtlCompareMemory(other->VendorText, record->VendorText, kDeviceTextBytes) != kDeviceTextBytes) continue;
        if (RtlCompareMemory(other->ModelText, record->ModelText, kDeviceTextBytes) != kDeviceTextBytes) continue;
        if (other->ChildDevice != nullptr && !ChildExtension(other->ChildDevice)->Present) continue;
        return other;
    }
    return nullptr;
}

}  // namespace bus

void Vex_OhciEnumDCam(OhciController* controller) {
    auto* extension = CONTAINING_RECORD(controller, ControllerDeviceExtension, Controller);
    KIRQL irql;
    KeAcquireSpinLock(&controller->AsyncLock, &irql);
    ULONG nodeCount = controller->NodeCount;
    KeReleaseSpinLock(&controller->AsyncLock, irql);
    if (nodeCount == 0) return;
    if (nodeCount > kMaxNodes) nodeCount = kMaxNodes;
    ULONG generation = CurrentGeneration(controller);

    LIST_ENTRY scan;
    InitializeListHead(&scan);
    UCHAR local = controller->LocalNodeNumber;
    for (ULONG node = 0; node < nodeCount; ++node) {
        // The local node's ROM is the driver's own and names no served unit.
        if (node == local) continue;
        DeviceRecord* record = nullptr;
        ULONG result = bus::ReadDeviceIdentity(extension, generation, UCHAR(node), &record);
        if (result == kReadDone) InsertTailList(&scan, &record->Links);
        if (result == kReadBusReset) {
            FreeList(&scan);
            return;
        }
    }

    bool gone = false;
    KeAcquireSpinLock(&controller->DeviceListLock, &irql);
    for (PLIST_ENTRY e = controller->DeviceList.Flink; e != &controller->DeviceList; e = e->Flink) {
        DeviceRecord* old = CONTAINING_RECORD(e, DeviceRecord, Links);
        if (bus::FindDeviceRecord(&scan, old) != nullptr || old->ChildDevice == nullptr) continue;
        ChildDeviceExtension* child = ChildExtension(old->ChildDevice);
        if (child->Present) gone = true;
        child->Present = FALSE;
    }
    while (!IsListEmpty(&scan)) {
        DeviceRecord* record = CONTAINING_RECORD(RemoveHeadList(&scan), DeviceRecord, Links);
        DeviceRecord* old = bus::FindDeviceRecord(&controller->DeviceList, record);
        if (old == nullptr) old = FindReturning(&controller->DeviceList, record);
        if (old != nullptr) {
            // A device that left and came back before its child was reported missing keeps it.
            if (old->ChildDevice != nullptr) ChildExtension(old->ChildDevice)->Present = TRUE;
            old->Node = record->Node;
            if (old->ChildDevice != nullptr) ChildExtension(old->ChildDevice)->Node = record->Node;
            bus::FreeDeviceRecord(record);
            continue;
        }
        KeReleaseSpinLock(&controller->DeviceListLock, irql);
        NTSTATUS status = bus::CreateChildDevice(record, record->Node & 0x3F);
        KeAcquireSpinLock(&controller->DeviceListLock, &irql);
        if (NT_SUCCESS(status)) {
            InsertTailList(&controller->DeviceList, &record->Links);
            ++controller->DeviceCount;
        } else {
            bus::FreeDeviceRecord(record);
        }
    }
    KeReleaseSpinLock(&controller->DeviceListLock, irql);
    if (gone) IoInvalidateDeviceRelations(extension->PhysicalDeviceObject, BusRelations);
}
