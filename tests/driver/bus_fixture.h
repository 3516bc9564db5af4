// The bus driver on the model: a controller with a daisy chain of devices (IIDC cameras, SBP-2
// units, nodes with hand-made configuration ROMs), and the children the Plug and Play manager
// then knows, by device identifier.
#pragma once

#include <map>
#include <string>

#include "bus/bus_device.h"
#include "iidc_camera.h"
#include "sbp2_unit.h"
#include "sim_fixture.h"

class BusDriverTest : public SimBusTest {
protected:
    explicit BusDriverTest(const hk::Options& options = hk::Options()) : SimBusTest(options) {}
    void SetUp() override {
        BuildBus(0);
        tail_ = sim_->controller;
    }

    template <typename T>
    T* Chain(std::unique_ptr<T> node) {
        T* added = static_cast<T*>(sim_->bus.Add(std::move(node)));
        EXPECT_TRUE(sim_->bus.Connect(tail_, tailPort_, added, 0));
        tail_ = added;
        tailPort_ = 1;
        return added;
    }
    sim::IidcCamera* AddCamera(const sim::IidcCamera::Config& config = sim::IidcCamera::Config()) {
        return Chain(std::make_unique<sim::IidcCamera>(config));
    }
    sim::Sbp2Unit* AddDisk(const sim::Sbp2Unit::Config& config = sim::Sbp2Unit::Config()) {
        return Chain(std::make_unique<sim::Sbp2Unit>(config));
    }
    sim::CsrNode* AddRom(const sim::ConfigRom& rom) {
        return Chain(std::make_unique<sim::CsrNode>("rom", 3, sim::kS400, rom));
    }

    // Lets the bus settle and the Plug and Play manager ask for the relations again.
    void Settle(ULONGLONG time = 300 * kMs100ns) {
        hk::RunFor(time);
        hk::pnp::Process();
        hk::RunFor(10 * kMs100ns);
    }
    void Reset() {
        sim_->bus.RequestReset(false);
        Settle();
    }

    std::map<std::string, PDEVICE_OBJECT> Children() {
        std::map<std::string, PDEVICE_OBJECT> out;
        for (PDEVICE_OBJECT child : hk::pnp::Children(pdo_)) out[hk::pnp::DeviceId(child)] = child;
        return out;
    }
    ChildDeviceExtension* Child(PDEVICE_OBJECT pdo) { return ChildExtension(pdo); }

    // A ROM with a bus information block and the given root directory (CRCs correct).
    static sim::ConfigRom Rom(uint64_t guid, const sim::RomDirectory& root) {
        return sim::ConfigRom::Build(sim::BusOptions(), guid, root);
    }
    // A unit directory naming an IIDC unit of the given software version.
    static sim::RomDirectory IidcUnit(uint32_t version) {
        sim::RomDirectory unit;
        unit.Add(sim::rom::kKeyUnitSpecifierId, 0x00A02D).Add(sim::rom::kKeyUnitSwVersion, version);
        return unit;
    }

    sim::Node* tail_ = nullptr;
    int tailPort_ = 0;
};
