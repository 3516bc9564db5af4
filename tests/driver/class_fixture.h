// The bus driver on the model with an IIDC camera and an SBP-2 unit on the controller's ports, and
// the test class driver (test_class_driver.h) loaded on the camera's child by the Plug and Play
// manager, as an INF match would load a camera driver.
#pragma once

#include "bus_fixture.h"
#include "test_class_driver.h"

inline constexpr const char* kCameraId = "1394\\Simulated Optics&SO-VGA 1.31";

class ClassDriverTest : public BusDriverTest {
protected:
    explicit ClassDriverTest(const hk::Options& options = hk::Options(), ULONG isoDirectDma = 1)
        : BusDriverTest(options), isoDirectDma_(isoDirectDma) {}
    void SetUp() override {
        BusDriverTest::SetUp();
        hk::reg::CreateKey(ParametersPath());
        hk::reg::SetDword(ParametersPath(), "IsoDirectDMA", isoDirectDma_);
        camera_ = static_cast<sim::IidcCamera*>(
            sim_->bus.Add(std::make_unique<sim::IidcCamera>(sim::IidcCamera::Config())));
        disk_ = static_cast<sim::Sbp2Unit*>(sim_->bus.Add(std::make_unique<sim::Sbp2Unit>(sim::Sbp2Unit::Config())));
        ASSERT_TRUE(sim_->bus.Connect(sim_->controller, 0, camera_, 0));
        ASSERT_TRUE(sim_->bus.Connect(sim_->controller, 1, disk_, 0));
        ASSERT_EQ(hk::LoadDriver(testclass::DriverEntry, "kxtestclass", &classDriver_), STATUS_SUCCESS);
        hk::pnp::RegisterFunctionDriver("1394\\A02D&102", classDriver_);
        results_.registerOffset = camera_->CommandBase() + sim::iidc::kVFormatInq;
        testclass::g_results = &results_;
        Start();
        Settle();
        auto children = Children();
        child_ = children[kCameraId];
        ASSERT_NE(child_, nullptr);
        for (auto& [id, pdo] : children)
            if (pdo != child_) diskChild_ = pdo;
    }
    void TearDown() override {
        if (pdo_ != nullptr && hk::pnp::GetState(pdo_) != hk::pnp::State::Removed) hk::pnp::Unplug(pdo_);
        testclass::FreeBuffers(&results_);
        // The bus driver first: each unload reports the pool still allocated.
        if (driver_ != nullptr) hk::UnloadDriver(driver_);
        driver_ = nullptr;
        hk::pnp::UnregisterFunctionDriver(classDriver_);
        hk::UnloadDriver(classDriver_);
        testclass::g_results = nullptr;
        BusDriverTest::TearDown();
    }

    ULONG isoDirectDma_;
    PDRIVER_OBJECT classDriver_ = nullptr;
    testclass::Results results_;
    sim::IidcCamera* camera_ = nullptr;
    sim::Sbp2Unit* disk_ = nullptr;
    PDEVICE_OBJECT child_ = nullptr;
    PDEVICE_OBJECT diskChild_ = nullptr;   // the SBP-2 unit's child (no driver loaded on it)
};
