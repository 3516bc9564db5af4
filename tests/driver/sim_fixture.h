// The driver on the hardware model: a simulated OHCI controller with a bus of plain nodes, plugged
// on the fake PCI bus and started through the Plug and Play manager.
#pragma once

#include <memory>

#include "csr_node.h"
#include "driver_fixture.h"
#include "hk_sim_host.h"
#include "ohci/ohci_registers.h"

inline constexpr ULONGLONG kMs100ns = 10000;

class SimBusTest : public DriverTest {
protected:
    explicit SimBusTest(const hk::Options& options = hk::Options()) : DriverTest(options) {}

    // The controller and `extraNodes` three-port S400 nodes in a daisy chain behind port 0.
    void BuildBus(int extraNodes, const sim::OhciController::Config& config = sim::OhciController::Config()) {
        sim_ = std::make_unique<hk::SimulatedController>(config);
        sim::Node* previous = sim_->controller;
        int previousPort = 0;
        for (int i = 0; i < extraNodes; ++i) {
            sim::Node* node = sim_->bus.Add(std::make_unique<sim::CsrNode>("node", 3, sim::kS400, sim::ConfigRom()));
            ASSERT_NE(node, nullptr);
            ASSERT_TRUE(sim_->bus.Connect(previous, previousPort, node, 0));
            previous = node;
            previousPort = 1;
        }
        hk::RunFor(10 * kMs100ns);
    }

    // Loads the driver and plugs the controller; lets the first reset settle.
    void Start(ULONGLONG settle = 200 * kMs100ns) {
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        pdo_ = hk::pci::PlugDevice(driver_, sim_->PciConfig(), &status);
        ASSERT_NE(pdo_, nullptr);
        start_ = status;
        if (status == STATUS_SUCCESS) {
            fdo_ = pdo_->AttachedDevice;
            hk::RunFor(settle);
        }
    }

    void TearDown() override {
        if (pdo_ != nullptr && hk::pnp::GetState(pdo_) != hk::pnp::State::Removed) hk::pnp::Unplug(pdo_);
        DriverTest::TearDown();
        EXPECT_EQ(hk::mm::BusFaults().size(), expectedBusFaults_);
        sim_.reset();
    }

    ControllerDeviceExtension* Extension() { return ControllerExtension(fdo_); }
    OhciController* Controller() { return &Extension()->Controller; }
    ULONG ModelRegister(ULONG offset) { return sim_->controller->ReadRegister(offset); }

    std::unique_ptr<hk::SimulatedController> sim_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    NTSTATUS start_ = STATUS_UNSUCCESSFUL;
    size_t expectedBusFaults_ = 0;  // faults a test caused on purpose
};
