// Configuration ROMs as the driver's enumeration reads them: a node on the model's bus answers
// reads of its ROM with the input's image (raw: any header, lengths, offsets, leaves, short or
// cut), sometimes acking busy or losing responses; a bus reset follows and the bus management
// thread reads every node's ROM (bus/enumeration.cpp) and creates or removes child devices.
//
// Checked beyond the sanitizers and the host kernel's rules: every device record the driver keeps
// has texts ended within their 1024 bytes, directory addresses inside the 1 KB ROM region, a unit
// kind it serves with the specifier and version of that kind, and for the node under test the
// EUI-64 of its ROM; a second pass over the same ROMs creates no child and changes no record; a
// node whose ROM names no unit the driver serves has no present child; Plug and Play then agrees
// with the driver's list, and the driver's view matches the model's bus.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "bus/bus_device.h"
#include "core/controller.h"
#include "csr_node.h"
#include "driver_on_bus.h"
#include "fuzz_input.h"
#include "hk_ke_test.h"
#include "hk_mm_test.h"

namespace {

using kxfuzz::kMs;

constexpr ULONGLONG kRomBase = 0xFFFFF0000400ull;
constexpr ULONGLONG kRomEnd = 0xFFFFF0000800ull;
constexpr size_t kMaxQuadlets = 300;

sim::CsrNode* g_node = nullptr;

kxfuzz::DriverOnBus& Setup() {
    kxfuzz::BusSetup setup;
    setup.description = "node pc controller\n";
    setup.addNodes = [](kxfuzz::DriverOnBus& d) {
        g_node = d.Join(std::make_unique<sim::CsrNode>("rom", 3, sim::kS400, sim::ConfigRom()), 0);
    };
    return kxfuzz::DriverOnBus::Get(setup);
}

bool Ended(const CHAR* text) {
    for (ULONG i = 0; i <= kDeviceTextBytes; ++i)
        if (text[i] == 0) return true;
    return false;
}

bool InRom(ULONGLONG address) { return address >= kRomBase && address < kRomEnd && address % 4 == 0; }

struct Snapshot {
    ULONG count = 0;
    std::vector<const DeviceRecord*> records;
    std::vector<PDEVICE_OBJECT> children;
    std::vector<ULONG> nodes;
};

Snapshot Take(OhciController* controller) {
    Snapshot s;
    KIRQL irql;
    KeAcquireSpinLock(&controller->DeviceListLock, &irql);
    s.count = controller->DeviceCount;
    for (PLIST_ENTRY e = controller->DeviceList.Flink; e != &controller->DeviceList; e = e->Flink) {
        const DeviceRecord* r = CONTAINING_RECORD(e, DeviceRecord, Links);
        s.records.push_back(r);
        s.children.push_back(r->ChildDevice);
        s.nodes.push_back(r->Node);
    }
    KeReleaseSpinLock(&controller->DeviceListLock, irql);
    return s;
}

void CheckRecords(const Snapshot& s, const sim::ConfigRom& rom) {
    for (const DeviceRecord* r : s.records) {
        KXF_CHECK(Ended(r->VendorText) && Ended(r->ModelText));
        KXF_CHECK(InRom(r->UnitDirectoryAddress));
        KXF_CHECK(r->LogicalUnitDirectoryAddress == 0 || InRom(r->LogicalUnitDirectoryAddress));
        KXF_CHECK(r->UnitKind >= kUnitIidcCamera && r->UnitKind <= kUnitIidc14000);
        if (r->UnitKind == kUnitSbp2) KXF_CHECK(r->UnitSpecId == 0x00609E && r->UnitSwVersion == 0x010483);
        else KXF_CHECK(r->UnitSpecId == 0x00A02D);
        if (r->ChildDevice == nullptr || !ChildExtension(r->ChildDevice)->Present) continue;
        // The node under test is the only one with a ROM besides the driver's own.
        KXF_CHECK(rom.size() >= 7);
        KXF_CHECK(r->EuiHigh == rom.Quadlet(3) && r->EuiLow == rom.Quadlet(4));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kxfuzz::DriverOnBus& d = Setup();
    kxfuzz::Input in(data, size);
    OhciController* controller = d.Controller();
    uint8_t faults = in.U8();
    std::vector<uint32_t> quadlets;
    size_t count = in.U16() % (kMaxQuadlets + 1);
    while (quadlets.size() < count && !in.Empty()) {
        uint32_t q = in.U32();
        quadlets.push_back((q >> 24) | ((q >> 8) & 0xFF00) | ((q << 8) & 0xFF0000) | (q << 24));  // bus order in the input
    }
    g_node->rom() = sim::ConfigRom(quadlets);
    g_node->faults = sim::CsrNode::Faults();
    if (faults & 0x01) g_node->faults.busyAcks = 1 + (faults >> 4) % 8;
    if (faults & 0x02) g_node->faults.lostResponses = 1;
    if (faults & 0x04) g_node->faults.errorResponses = 1 + (faults >> 4) % 4;
    if (faults & 0x08) g_node->responseDelay = (faults >> 4) * 20 * sim::kTicksPerMicrosecond;
    else g_node->responseDelay = 10 * sim::kTicksPerMicrosecond;

    // A pass over the ROM: its child appears or goes.
    d.SettleReset();
    hk::pnp::Process();
    hk::RunFor(5 * kMs);
    const Snapshot first = Take(controller);
    CheckRecords(first, g_node->rom());

    // The same ROMs again, without faults: nothing new unless the first pass was cut short by them.
    if (faults == 0) {
        d.SettleReset();
        hk::pnp::Process();
        hk::RunFor(5 * kMs);
        const Snapshot second = Take(controller);
        CheckRecords(second, g_node->rom());
        KXF_CHECK(second.count == first.count && second.children == first.children);
    }

    // Plug and Play knows the children the list has present.
    std::vector<PDEVICE_OBJECT> reported = hk::pnp::Children(d.pdo);
    for (const DeviceRecord* r : Take(controller).records) {
        if (r->ChildDevice == nullptr || !ChildExtension(r->ChildDevice)->Present) continue;
        bool found = false;
        for (PDEVICE_OBJECT c : reported) found = found || c == r->ChildDevice;
        KXF_CHECK(found);
    }
    KXF_CHECK(controller->DeviceCount <= 4);  // gone devices do not pile up
    KXF_CHECK(hk::mm::BusFaults().empty());
    d.CheckConsistent();
    hk::dbg::Clear();
    return 0;
}
