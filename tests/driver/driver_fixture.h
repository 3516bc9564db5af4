// Shared fixture pieces: the driver loaded on the host kernel, and a controller plugged on the fake
// PCI bus with a scripted register window.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "frame/device.h"
#include "frame/driver.h"
#include "hk_core.h"
#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "scripted_window.h"

inline constexpr const char* kServiceName = "KX1394DRV64";

inline std::string ParametersPath() { return hk::reg::ServicePath(kServiceName) + "\\Parameters"; }

// The driver loaded once per test, unloaded (with the leak report) at the end.
class DriverTest : public ::testing::Test {
protected:
    explicit DriverTest(const hk::Options& options = hk::Options()) : kernel_(options) {}

    NTSTATUS Load() { return hk::LoadDriver(DriverEntry, kServiceName, &driver_); }
    void TearDown() override {
        if (driver_ != nullptr) hk::UnloadDriver(driver_);
        driver_ = nullptr;
    }

    hk::Kernel kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
};

// The driver with one controller plugged and started.
class ControllerTest : public DriverTest {
protected:
    explicit ControllerTest(const hk::Options& options = hk::Options()) : DriverTest(options) {}

    void SetUp() override {
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        hk::pci::DeviceConfig config;
        config.window = &window_;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        pdo_ = hk::pci::PlugDevice(driver_, config, &status);
        ASSERT_NE(pdo_, nullptr);
        ASSERT_EQ(status, STATUS_SUCCESS);
        fdo_ = pdo_->AttachedDevice;
        ASSERT_NE(fdo_, nullptr);
    }
    void TearDown() override {
        if (pdo_ != nullptr && hk::pnp::GetState(pdo_) != hk::pnp::State::Removed) hk::pnp::Unplug(pdo_);
        DriverTest::TearDown();
    }

    ControllerDeviceExtension* Extension() { return ControllerExtension(fdo_); }

    HANDLE Open(PEPROCESS process = nullptr) {
        HANDLE handle = nullptr;
        EXPECT_EQ(hk::user::OpenDeviceInterface(process ? process : hk::TestProcess(),
                                                GUID_KX1394_CONTROLLER_INTERFACE, 0, &handle),
                  STATUS_SUCCESS);
        return handle;
    }

    ScriptedWindow window_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};
