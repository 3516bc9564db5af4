#include "driver_on_bus.h"

#include <cstdlib>
#include <cstring>

#include "async/async_packet.h"
#include "bus_description.h"
#include "frame/driver.h"
#include "fuzz_input.h"
#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "kx1394.h"
#include "ohci/bus_order.h"

namespace kxfuzz {

DriverOnBus& DriverOnBus::Get(const BusSetup& setup) {
    static DriverOnBus* instance = nullptr;
    if (instance != nullptr) return *instance;
    instance = new DriverOnBus;
    hk::Options options;
    const char* seed = std::getenv("KX_FUZZ_SEED");
    options.seed = seed != nullptr ? ULONG(std::strtoul(seed, nullptr, 0)) : 0;
    options.timeBudget100ns = ~0ull / 4;  // a fuzzing run lasts as long as it lasts
    options.poisonFreedMemory = true;      // any report ends the run: spare the TLB flushes
    instance->kernel = new hk::Kernel(options);
    instance->sim = new hk::SimulatedController();
    sim::BusDescription description;
    std::string error;
    const std::string text = setup.description.empty() ? std::string(sim::kDefaultBusDescription) : setup.description;
    KXF_CHECK(sim::ParseBusDescription(text, &description, &error));
    KXF_CHECK(sim::BuildBus(description, instance->sim->bus, instance->sim->controller, &instance->nodes, &error));
    if (setup.addNodes) setup.addNodes(*instance);
    hk::RunFor(10 * kMs);
    const std::string parameters = hk::reg::ServicePath("KX1394DRV64") + "\\Parameters";
    KXF_CHECK(hk::reg::CreateKey(parameters));
    KXF_CHECK(hk::reg::SetDword(parameters, "DesktopCameraEnable", setup.enumerate ? 1 : 0));
    KXF_CHECK(hk::LoadDriver(DriverEntry, "KX1394DRV64", &instance->driver) == STATUS_SUCCESS);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    instance->pdo = hk::pci::PlugDevice(instance->driver, instance->sim->PciConfig(), &status);
    KXF_CHECK(instance->pdo != nullptr && status == STATUS_SUCCESS);
    instance->fdo = instance->pdo->AttachedDevice;
    hk::RunFor(300 * kMs);
    instance->CheckConsistent();
    instance->splitTimeoutHi = instance->Controller()->LocalCsr.SplitTimeoutHi;
    instance->splitTimeoutLo = instance->Controller()->LocalCsr.SplitTimeoutLo;
    return *instance;
}

void DriverOnBus::RestoreSplitTimeout() {
    OhciController* controller = Controller();
    KIRQL irql;
    KeAcquireSpinLock(&controller->TopologyLock, &irql);
    controller->LocalCsr.SplitTimeoutHi = splitTimeoutHi;
    controller->LocalCsr.SplitTimeoutLo = splitTimeoutLo;
    NoteSplitTimeout(controller, splitTimeoutHi, splitTimeoutLo);
    KeReleaseSpinLock(&controller->TopologyLock, irql);
}

void DriverOnBus::CheckLabelsLinger() {
    OhciController* controller = Controller();
    bool lingering = false;
    for (ULONG node = 0; node < 64; ++node) {
        for (ULONG word = 0; word < 2; ++word) {
            ULONG held = controller->LingeringLabels[node][word];
            KXF_CHECK((controller->LabelPool[node][word] & ~held) == 0);
            lingering = lingering || held != 0;
        }
    }
    ULONG hold = ULONG(controller->LabelHoldMs);
    if (lingering) hk::RunFor(ULONGLONG(hold < 1000 ? hold + 1 : 1000) * kMs);
}

bool DriverOnBus::RunUntil(const std::function<bool()>& done, ULONGLONG limit, ULONGLONG step) {
    for (ULONGLONG ran = 0; ran < limit; ran += step) {
        hk::RunFor(step);
        if (done()) return true;
    }
    return done();
}

bool DriverOnBus::Settled() {
    OhciController* controller = Controller();
    return !sim->bus.InReset() && controller->BusResetActive == 0 && controller->BusEventCount == 0 &&
           KeReadStateEvent(&controller->AsyncGate) == 1 && KeReadStateEvent(&controller->EnumerationDone) == 1;
}

void DriverOnBus::SettleReset(ULONGLONG limit) {
    if (watcher == nullptr) {
        watcher = hk::CreateProcess("watcher.exe");
        busReady = hk::user::CreateEvent(watcher, false, false);
        HANDLE device = nullptr;
        GUID guid = GUID_KX1394_CONTROLLER_INTERFACE;
        KXF_CHECK(hk::user::OpenDeviceInterface(watcher, guid, 0, &device) == STATUS_SUCCESS);
        void* record = hk::user::Alloc(watcher, 8);
        ULONGLONG handle = reinterpret_cast<ULONG_PTR>(busReady);
        std::memcpy(record, &handle, 8);
        KXF_CHECK(hk::user::DeviceIoControl(watcher, device, IOCTL_SET_BUS_READY_EVENT, record, 8, nullptr, 0) ==
                  STATUS_SUCCESS);
        hk::user::Free(watcher, record);
    }
    const ULONGLONG now = 0;
    while (hk::user::WaitEvent(watcher, busReady, &now) == STATUS_SUCCESS) {
    }
    sim->bus.RequestReset(false);
    hk::RunFor(kMs);
    bool ready = false;
    (void)RunUntil(
        [this, &ready] {
            const ULONGLONG none = 0;
            ready = ready || hk::user::WaitEvent(watcher, busReady, &none) == STATUS_SUCCESS;
            return ready && Settled();
        },
        limit);
}

void DriverOnBus::CheckConsistent() {
    OhciController* controller = Controller();
    sim::Bus& bus = sim->bus;
    KXF_CHECK(!bus.InReset());
    KXF_CHECK(controller->BusResetActive == 0);
    KXF_CHECK(controller->NodeCount == ULONG(bus.NodeCount()));
    KXF_CHECK(controller->LocalNodeNumber == sim->controller->phy().phyId);
    const std::vector<uint32_t>& selfIds = bus.SelfIds();
    KXF_CHECK(controller->SelfIdPacketCount == ULONG(selfIds.size()));
    for (size_t i = 0; i < selfIds.size(); ++i)
        KXF_CHECK(BusToHost32(controller->TopologyMapImage[3 + i]) == selfIds[i]);
    KXF_CHECK(KeReadStateEvent(&controller->AsyncGate) == 1);
    KXF_CHECK(KeReadStateEvent(&controller->EnumerationDone) == 1);
    KXF_CHECK(controller->BusEventCount == 0);
    KXF_CHECK(hk::mm::BusFaults().empty());
}

}  // namespace kxfuzz
