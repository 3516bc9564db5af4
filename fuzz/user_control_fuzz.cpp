// The private control codes through the real dispatch path: two user programs, a 64-bit and a
// 32-bit one (records in their own layouts), open the controller's device interface on the driver
// started on the model's default bus, and send DeviceIoControl requests with buffers in their own
// memory. An input is a short script: requests whose code, program, buffer lengths and contents
// the bytes choose (a handle field may carry one of the program's real handles), requests sent
// from a second thread of the program while the main one goes on, bus resets from the model,
// cancellation, closing and reopening the device, alerting the waiting thread, and a program's end.
//
// Checked for every request: no more bytes reported than the output buffer holds, and a refused
// request reports none and leaves the output buffer as it was. After every input (the programs'
// registrations removed, their events signalled and the bus settled): the driver's view matches the
// model's bus, and no client or notification record and no handle stays behind.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver_on_bus.h"
#include "fuzz_input.h"
#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "kx1394.h"
#include "ohci/pool_tags.h"
#include "user_program.h"

namespace {

using kxfuzz::kMs;

constexpr UCHAR kUntouched = 0xA5;

using kxfuzz::Program;

Program g_programs[2];
ULONG g_baselineClients = 0;
ULONG g_baselineNotifications = 0;

void Setup() {
    static bool done = false;
    if (done) return;
    done = true;
    kxfuzz::DriverOnBus::Get();
    g_programs[0].Start(false, "fuzz64.exe");
    g_programs[1].Start(true, "fuzz32.exe");
    g_baselineClients = hk::mm::TagCount(kTagClientRecord);
    g_baselineNotifications = hk::mm::TagCount(kTagBusNotification);
}

// One request's buffers in the program's memory and what the check needs.
struct Call {
    Program* program = nullptr;
    ULONG code = 0;
    std::vector<uint8_t> input;
    ULONG inLength = 0;
    ULONG outLength = 0;
    bool nullInput = false;   // a length without a buffer
    bool readOnlyOutput = false;
    void* in = nullptr;
    void* out = nullptr;
};

// The code: one of the table's neighbourhood (0x800..0x81F) most of the time, else any value.
ULONG PickCode(kxfuzz::Input& in) {
    uint8_t pick = in.U8();
    if (pick >= 0xF0) return in.U32();
    return Kx1394ControlCode(0x800 + (pick % 32));
}

ULONG PickLength(kxfuzz::Input& in) {
    uint8_t n = in.U8();
    if (n == 0xFF) return in.U16() % 20000;
    return n;
}

HANDLE PickHandle(kxfuzz::Input& in, Program* own, Program* other) {
    switch (in.U8() % 6) {
    case 0: return own->event;
    case 1: return own->device;
    case 2: return other->event;  // a handle value of another process
    case 3: return nullptr;
    case 4: return reinterpret_cast<HANDLE>(uintptr_t(0xFFFFFFFFu));
    default: return reinterpret_cast<HANDLE>(uintptr_t(in.U16()) << 2);
    }
}

Call Prepare(kxfuzz::Input& in, uint8_t flags) {
    Call c;
    c.program = &g_programs[flags & 1];
    Program* other = &g_programs[(flags & 1) ^ 1];
    c.code = PickCode(in);
    c.inLength = PickLength(in);
    c.outLength = PickLength(in);
    c.input = in.Bytes(c.inLength);
    c.input.resize(c.inLength, 0);
    uint8_t patch = in.U8();
    if ((patch & 0x80) && c.inLength >= 4) {
        // A real handle at a field of the record, in the program's width.
        HANDLE handle = PickHandle(in, c.program, other);
        ULONG width = c.program->is32 ? 4 : 8;
        ULONG at = (patch & 0x7F) * 4 % c.inLength;
        if (at + width > c.inLength) at = 0;
        uint64_t value = uint64_t(reinterpret_cast<uintptr_t>(handle));
        std::memcpy(&c.input[at], &value, width <= c.inLength - at ? width : 4);
    }
    c.nullInput = (flags & 0x10) != 0 && c.inLength != 0;
    c.readOnlyOutput = (flags & 0x20) != 0 && c.outLength != 0;
    PEPROCESS process = c.program->process;
    if (c.inLength != 0 && !c.nullInput) {
        c.in = hk::user::Alloc(process, c.inLength);
        KXF_CHECK(c.in != nullptr);
        std::memcpy(c.in, c.input.data(), c.inLength);
    }
    if (c.outLength != 0) {
        c.out = hk::user::Alloc(process, c.outLength);
        KXF_CHECK(c.out != nullptr);
        std::memset(c.out, kUntouched, c.outLength);
        if (c.readOnlyOutput) hk::user::SetReadOnly(process, c.out, true);
    }
    return c;
}

void Check(const Call& c, NTSTATUS status, ULONG returned) {
    KXF_CHECK(status != STATUS_PENDING);
    KXF_CHECK(returned <= c.outLength);
    if (NT_ERROR(status)) {
        KXF_CHECK(returned == 0);
        const uint8_t* out = static_cast<const uint8_t*>(c.out);
        for (ULONG i = 0; out != nullptr && i < c.outLength; ++i) KXF_CHECK(out[i] == kUntouched);
    }
    // The input buffer is the program's: the driver never writes it.
    if (c.in != nullptr) KXF_CHECK(std::memcmp(c.in, c.input.data(), c.inLength) == 0);
}

void Release(const Call& c) {
    PEPROCESS process = c.program->process;
    if (hk::ProcessExited(process)) return;  // its address space went with it
    if (c.in != nullptr) hk::user::Free(process, c.in);
    if (c.out != nullptr) hk::user::Free(process, c.out);
}

NTSTATUS Send(const Call& c, ULONG* returned) {
    return hk::user::DeviceIoControl(c.program->process, c.program->device, c.code, c.nullInput ? nullptr : c.in,
                                     c.inLength, c.out, c.outLength, returned);
}

// A request sent from a second thread of the program: it may wait for the bus in the driver
// while the script goes on.
struct Helper {
    PKTHREAD thread = nullptr;
    Call call;
    NTSTATUS status = STATUS_PENDING;
    ULONG returned = 0;
    bool exited = false;  // its program ended meanwhile
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Setup();
    kxfuzz::DriverOnBus& d = kxfuzz::DriverOnBus::Get();
    kxfuzz::Input in(data, size);
    for (Program& p : g_programs) {
        p.event = hk::user::CreateEvent(p.process, true, false);
        KXF_CHECK(p.event != nullptr);
        p.Open();
    }
    sim::Node* hub = d.nodes.at("hub");
    sim::Node* cam1 = d.nodes.at("cam1");
    bool cam1Unplugged = false;
    std::unique_ptr<Helper> helper;

    for (int step = 0; step < 12 && !in.Empty(); ++step) {
        uint8_t op = in.U8();
        uint8_t flags = in.U8();
        switch (op % 10) {
        default: {  // a request from the main thread
            Call c = Prepare(in, flags);
            c.program->Open();
            ULONG returned = 0xFFFF;
            NTSTATUS status = Send(c, &returned);
            Check(c, status, returned);
            Release(c);
            break;
        }
        case 4:  // a request from a second thread
            if (helper == nullptr) {
                helper = std::make_unique<Helper>();
                helper->call = Prepare(in, flags);
                helper->call.program->Open();
                Helper* h = helper.get();
                h->thread = hk::StartThread("fuzz helper", h->call.program->process,
                                            [h] { h->status = Send(h->call, &h->returned); });
                hk::RunUntilIdle();
            }
            break;
        case 5:  // time passes
            hk::RunFor(ULONGLONG(in.U8()) * kMs / 10);
            break;
        case 6:  // a bus reset from the model
            d.sim->bus.RequestReset((flags & 1) != 0);
            if (flags & 2) hk::RunFor(ULONGLONG(flags >> 2) * kMs / 20);
            break;
        case 7: {  // the program cancels its requests, closes the device, or its waiting thread is alerted
            Program* p = &g_programs[flags & 1];
            if (flags & 2) hk::user::CancelIo(p->process, p->device);
            if (flags & 4) p->Close();
            if ((flags & 8) && helper != nullptr) hk::AlertThread(helper->thread);
            hk::RunUntilIdle();
            break;
        }
        case 8:  // a camera unplugged or plugged back
            if (cam1Unplugged) KXF_CHECK(d.sim->bus.Connect(hub, 1, cam1, 0));
            else d.sim->bus.Disconnect(hub, 1);
            cam1Unplugged = !cam1Unplugged;
            break;
        case 9:  // a program ends (rarely): a new one takes its place
            if ((flags & 0xF) == 0xF) {
                Program* p = &g_programs[(flags >> 4) & 1];
                if (helper != nullptr && helper->call.program == p) helper->exited = true;
                hk::ExitProcess(p->process);
                hk::RunUntilIdle();
                p->device = nullptr;
                p->event = nullptr;
                p->Start(p->is32, p->is32 ? "fuzz32.exe" : "fuzz64.exe");
                p->event = hk::user::CreateEvent(p->process, true, false);
                p->Open();
            }
            break;
        }
    }

    // Back to the settled state: the bus as it was, the helper's request done (its wait is
    // interrupted if the bus does not settle), every registration of the programs removed.
    if (cam1Unplugged) KXF_CHECK(d.sim->bus.Connect(hub, 1, cam1, 0));
    hk::RunFor(50 * kMs);
    if (helper != nullptr) {
        if (hk::GetThreadState(helper->thread) != hk::ThreadState::Terminated) hk::AlertThread(helper->thread);
        hk::JoinThread(helper->thread);
        hk::ReleaseThread(helper->thread);
        if (!helper->exited) {
            Check(helper->call, helper->status, helper->returned);
            Release(helper->call);
        }
    }
    for (Program& p : g_programs) {
        p.Open();
        for (ULONG code : {IOCTL_SET_BUS_RESET_EVENT, IOCTL_SET_BUS_READY_EVENT}) {
            uint64_t none = 0;
            void* buffer = hk::user::Alloc(p.process, 8);
            std::memcpy(buffer, &none, 8);
            KXF_CHECK(hk::user::DeviceIoControl(p.process, p.device, code, buffer, 8, nullptr, 0) == STATUS_SUCCESS);
            hk::user::Free(p.process, buffer);
        }
        // A client registered with this event ends when it is set.
        KXF_CHECK(hk::user::SetEvent(p.process, p.event) == STATUS_SUCCESS);
    }
    hk::RunFor(50 * kMs);
    for (Program& p : g_programs) {
        p.Close();
        KXF_CHECK(hk::user::CloseHandle(p.process, p.event) == STATUS_SUCCESS);
        p.event = nullptr;
        KXF_CHECK(hk::HandleCount(p.process) == p.baselineHandles);
    }
    hk::RunFor(10 * kMs);
    d.CheckConsistent();
    KXF_CHECK(hk::mm::TagCount(kTagClientRecord) == g_baselineClients);
    KXF_CHECK(hk::mm::TagCount(kTagBusNotification) == g_baselineNotifications);
    hk::dbg::Clear();  // the captured debug output would grow with every input
    return 0;
}
