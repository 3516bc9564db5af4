#include "session.h"

#include <cstdio>
#include <cstring>

#include "frame/driver.h"
#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "kx1394.h"

namespace kx1394 {

namespace {

constexpr const char* kServiceName = "KX1394DRV64";

// The header's GUID in the system's GUID type.
GUID InterfaceGuid() {
    GUID guid;
    guid.Data1 = KX1394_DEVICE_INTERFACE_GUID.Data1;
    guid.Data2 = KX1394_DEVICE_INTERFACE_GUID.Data2;
    guid.Data3 = KX1394_DEVICE_INTERFACE_GUID.Data3;
    for (int i = 0; i < 8; ++i) guid.Data4[i] = KX1394_DEVICE_INTERFACE_GUID.Data4[i];
    return guid;
}

hk::Options KernelOptions(double virtualSeconds) {
    hk::Options options;
    // The run is deterministic: one interleaving of the driver's threads, the same every time.
    options.seed = 1;
    options.timeBudget100ns = ULONGLONG((virtualSeconds + 120) * double(kTicksPerSecond));
    return options;
}

}  // namespace

Session::Session(double virtualSeconds) : kernel_(std::make_unique<hk::Kernel>(KernelOptions(virtualSeconds))) {
    sim_ = std::make_unique<hk::SimulatedController>();
}

Session::~Session() {
    // A program that ends: its handles close as its process goes; then the controller is
    // unplugged and the driver unloaded (with the host kernel's leak report), and the model goes
    // before the kernel that holds its clock events.
    if (process_ != nullptr) {
        if (device_ != nullptr) hk::user::CloseHandle(process_, device_);
        hk::ExitProcess(process_);
    }
    if (pdo_ != nullptr && hk::pnp::GetState(pdo_) != hk::pnp::State::Removed) hk::pnp::Unplug(pdo_);
    if (driver_ != nullptr) hk::UnloadDriver(driver_);
    sim_.reset();
    kernel_.reset();
}

bool Session::BuildBus(const sim::BusDescription& description, const std::string& romDirectory,
                       std::string* error) {
    if (!sim::BuildBus(description, sim_->bus, sim_->controller, &nodes_, error, romDirectory)) return false;
    // The connection changes start resets in the model; let them finish before the driver comes.
    hk::RunFor(10 * kTicksPerMs);
    return true;
}

bool Session::Start(ULONGLONG settle, bool process32, std::string* error) {
    NTSTATUS status = hk::LoadDriver(DriverEntry, kServiceName, &driver_);
    if (status != STATUS_SUCCESS) {
        driver_ = nullptr;
        *error = "the driver did not load: DriverEntry answered " + StatusName(status);
        return false;
    }
    status = STATUS_UNSUCCESSFUL;
    pdo_ = hk::pci::PlugDevice(driver_, sim_->PciConfig(), &status);
    if (pdo_ == nullptr || status != STATUS_SUCCESS) {
        *error = "the controller did not start: " + StatusName(status);
        return false;
    }
    hk::RunFor(settle);
    process32_ = process32;
    process_ = hk::CreateProcess("kx1394.exe", process32);
    status = hk::user::OpenDeviceInterface(process_, InterfaceGuid(), 0, &device_);
    if (status != STATUS_SUCCESS) {
        device_ = nullptr;
        *error = "the device interface did not open: " + StatusName(status);
        return false;
    }
    return true;
}

Answer Session::Control(ULONG code, const void* in, ULONG inLength, ULONG outLength) {
    Answer answer;
    void* inBuffer = nullptr;
    void* outBuffer = nullptr;
    if (inLength != 0) {
        inBuffer = hk::user::Alloc(process_, inLength);
        if (inBuffer == nullptr) {
            answer.status = STATUS_NO_MEMORY;
            return answer;
        }
        std::memcpy(inBuffer, in, inLength);
    }
    if (outLength != 0) {
        outBuffer = hk::user::Alloc(process_, outLength);
        if (outBuffer == nullptr) {
            if (inBuffer != nullptr) hk::user::Free(process_, inBuffer);
            answer.status = STATUS_NO_MEMORY;
            return answer;
        }
    }
    answer.status =
        hk::user::DeviceIoControl(process_, device_, code, inBuffer, inLength, outBuffer, outLength, &answer.returned);
    if (outBuffer != nullptr) {
        const uint8_t* bytes = static_cast<const uint8_t*>(outBuffer);
        answer.out.assign(bytes, bytes + outLength);
        hk::user::Free(process_, outBuffer);
    }
    if (inBuffer != nullptr) hk::user::Free(process_, inBuffer);
    return answer;
}

void Session::Run(ULONGLONG ticks) { hk::RunFor(ticks); }

ULONGLONG Session::Now() const { return hk::Now(); }

#ifndef STATUS_INTERNAL_ERROR
#define STATUS_INTERNAL_ERROR KX_NTSTATUS(0xC00000E5u)
#endif

std::string StatusName(NTSTATUS status) {
    struct Name {
        NTSTATUS status;
        const char* name;
    };
    static const Name kNames[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INVALID_HANDLE, "STATUS_INVALID_HANDLE"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
        {STATUS_NO_MEMORY, "STATUS_NO_MEMORY"},
        {STATUS_ACCESS_VIOLATION, "STATUS_ACCESS_VIOLATION"},
        {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_INTERNAL_ERROR, "STATUS_INTERNAL_ERROR"},
        {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
        {STATUS_CANCELLED, "STATUS_CANCELLED"},
        {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
        {STATUS_ALERTED, "STATUS_ALERTED"},
        {STATUS_PENDING, "STATUS_PENDING"},
    };
    for (const Name& n : kNames)
        if (n.status == status) return n.name;
    char text[32];
    std::snprintf(text, sizeof text, "status 0x%08X", unsigned(status));
    return text;
}

}  // namespace kx1394
