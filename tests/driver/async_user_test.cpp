// Asynchronous transactions through real user calls on the driver started on the hardware model:
// reads, writes and locks of a plain node's registers from 64-bit and 32-bit programs, results
// that arrive later through the driver client's worker, the model's faults (busy and data-error
// acks, lost, late and error responses, bus resets, an unplugged node, a dead context), labels
// running out, requests refused for their length, and a program that ends with requests pending.
#include <cstring>
#include <vector>

#include "async/async_packet.h"
#include "async/at_context.h"
#include "core/controller.h"
#include "csr_node.h"
#include "frame/client.h"
#include "kx1394.h"
#include "sim_fixture.h"

namespace {

constexpr ULONGLONG kRegisterBase = 0xFFFFF0010000ull;
constexpr ULONGLONG kWaitLimit = 10000 * kMs100ns;  // 10 s of virtual time
constexpr ULONGLONG kNoWait = 0;

// Where a program keeps its request record, results and data.
constexpr ULONG kRecordAt = 0, kStatusAt = 128, kAckAt = 132, kRcodeAt = 133, kDataAt = 256, kSourceAt = 4608;
constexpr ULONG kMemoryBytes = 8192;

struct Lock {
    USHORT extendedTcode = 0;
    ULONGLONG arg = 0;
    ULONGLONG data = 0;
    bool wide = false;
};

struct Result {
    NTSTATUS call = STATUS_UNSUCCESSFUL;
    ULONG status = 0xEEEEEEEE;
    UCHAR ack = 0xEE;
    UCHAR rcode = 0xEE;
};

struct Program {
    PEPROCESS process = nullptr;
    HANDLE device = nullptr;
    HANDLE terminate = nullptr;
    HANDLE done = nullptr;
    UCHAR* memory = nullptr;
    bool is32 = false;

    ULONGLONG Address(ULONG at) const { return reinterpret_cast<ULONG_PTR>(memory + at); }

    // Fills the request record in the program's layout.
    void Record(USHORT node, ULONGLONG offset, ULONG length, const Lock& lock, HANDLE event) {
        UCHAR* r = memory + kRecordAt;
        memset(r, 0, 96);
        memcpy(r, &node, 2);
        memcpy(r + 0x08, &offset, 8);
        memcpy(r + 0x10, &length, 4);
        ULONGLONG handle = reinterpret_cast<ULONG_PTR>(event);
        ULONGLONG addresses[4] = {Address(kDataAt), Address(kStatusAt), Address(kAckAt), Address(kRcodeAt)};
        if (is32) {
            ULONG narrow = ULONG(handle);
            memcpy(r + 0x14, &narrow, 4);
            for (int i = 0; i < 4; ++i) {
                ULONG a = ULONG(addresses[i]);
                memcpy(r + 0x18 + 4 * i, &a, 4);
            }
            r[0x28] = UCHAR(lock.extendedTcode);
            memcpy(r + 0x30, &lock.arg, 8);
            memcpy(r + 0x38, &lock.data, 8);
            r[0x40] = lock.wide ? 1 : 0;
        } else {
            memcpy(r + 0x18, &handle, 8);
            for (int i = 0; i < 4; ++i) memcpy(r + 0x20 + 8 * i, &addresses[i], 8);
            r[0x40] = UCHAR(lock.extendedTcode);
            memcpy(r + 0x48, &lock.arg, 8);
            memcpy(r + 0x50, &lock.data, 8);
            r[0x58] = lock.wide ? 1 : 0;
        }
    }
    Result Read() const {
        Result result;
        memcpy(&result.status, memory + kStatusAt, 4);
        result.ack = memory[kAckAt];
        result.rcode = memory[kRcodeAt];
        return result;
    }
    void ClearResults() { memset(memory + kStatusAt, 0xEE, 6); }
    bool DoneSet() { return hk::user::WaitEvent(process, done, &kNoWait) == STATUS_SUCCESS; }
};

class AsyncUserTest : public SimBusTest {
protected:
    explicit AsyncUserTest(const hk::Options& options = hk::Options()) : SimBusTest(options) {}

    // The controller and a chain of plain nodes with their speeds, each with registers at
    // kRegisterBase: eight quadlets for reads, writes and locks, a 4096-byte block behind them.
    void BuildNodes(const std::vector<sim::Speed>& speeds) {
        sim_ = std::make_unique<hk::SimulatedController>();
        sim::Node* previous = sim_->controller;
        int previousPort = 0;
        for (sim::Speed speed : speeds) {
            auto* node = static_cast<sim::CsrNode*>(
                sim_->bus.Add(std::make_unique<sim::CsrNode>("node", 3, speed, sim::ConfigRom())));
            ASSERT_NE(node, nullptr);
            ASSERT_TRUE(sim_->bus.Connect(previous, previousPort, node, 0));
            for (ULONG i = 0; i < 8 + 1024; ++i) node->DefineRegister(kRegisterBase + 4 * i, 0x10000000u + i);
            nodes_.push_back(node);
            previous = node;
            previousPort = 1;
        }
        hk::RunFor(10 * kMs100ns);
    }
    void SetUp() override {
        BuildNodes({sim::kS400, sim::kS400});
        Start();
        ASSERT_EQ(start_, STATUS_SUCCESS);
    }

    Program NewProgram(const char* name, bool is32, bool registered = true) {
        Program program;
        program.process = hk::CreateProcess(name, is32);
        program.is32 = is32;
        EXPECT_EQ(hk::user::OpenDeviceInterface(program.process, GUID_KX1394_CONTROLLER_INTERFACE, 0,
                                                &program.device),
                  STATUS_SUCCESS);
        program.memory = static_cast<UCHAR*>(hk::user::Alloc(program.process, kMemoryBytes));
        program.terminate = hk::user::CreateEvent(program.process, true, false);
        program.done = hk::user::CreateEvent(program.process, true, false);
        if (registered) {
            ULONGLONG handle = reinterpret_cast<ULONG_PTR>(program.terminate);
            memcpy(program.memory, &handle, 8);
            EXPECT_EQ(hk::user::DeviceIoControl(program.process, program.device, IOCTL_REGISTER_CLIENT, program.memory,
                                                8, nullptr, 0, nullptr),
                      STATUS_SUCCESS);
        }
        return program;
    }

    // Sends one request and, when it is pending, waits for its event: the final results.
    Result Send(Program& p, ULONG code, USHORT node, ULONGLONG offset, ULONG length, const Lock& lock = Lock(),
                bool wait = true) {
        p.done = hk::user::CreateEvent(p.process, true, false);
        p.Record(node, offset, length, lock, p.done);
        p.ClearResults();
        Result result;
        result.call = hk::user::DeviceIoControl(p.process, p.device, code, p.memory + kRecordAt, 96, nullptr, 0, nullptr);
        Result now = p.Read();
        if (result.call != STATUS_SUCCESS || now.ack != async::kAckPending || !wait) {
            now.call = result.call;
            return now;
        }
        EXPECT_EQ(hk::user::WaitEvent(p.process, p.done, &kWaitLimit), STATUS_SUCCESS);
        Result final = p.Read();
        final.call = result.call;
        // The call left the pending results, unless the worker, run first by a preempting
        // scheduler, had already written the final ones over them.
        if (now.status != final.status || now.rcode != final.rcode) {
            EXPECT_EQ(now.status, 0u);
            EXPECT_EQ(now.rcode, 0u);
        }
        return final;
    }

    // A read of node 1's first register from a thread of `p` while the request transmit context
    // is stalled (the caller made it so): its packet, sent but not yet acknowledged.
    AsyncPacket* StartStalledRead(Program& p, Result* result, PKTHREAD* thread) {
        *thread = hk::StartThread("reader", p.process,
                                  [this, &p, result] { *result = Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4); });
        hk::RunFor(5 * kMs100ns);
        EXPECT_FALSE(IsListEmpty(&Controller()->PendingList));
        AsyncPacket* packet = CONTAINING_RECORD(Controller()->PendingList.Blink, AsyncPacket, PendingLink);
        EXPECT_EQ(packet->PacketState, ULONG(kPacketSubmitted));
        return packet;
    }
    // The stalled request's transmission completes now, acked pending.
    void AckedPendingNow(AsyncPacket* packet) {
        KIRQL irql;
        KeAcquireSpinLock(&packet->Lock, &irql);
        packet->AckCode = async::kAckPending;
        KeReleaseSpinLock(&packet->Lock, irql);
        TransmitDone(Controller(), packet, async::kAckPending);
    }

    USHORT NodeId(int i) { return nodes_[size_t(i)]->NodeId(); }
    ULONG Reg(int node, ULONG index) { return nodes_[size_t(node)]->RegisterValue(kRegisterBase + 4 * index); }
    ULONG Outstanding() { return hk::mm::TagCount(KX_TAG('Z', 'O', 'P', 'P')); }

    std::vector<sim::CsrNode*> nodes_;
};

ULONG BusOrder(ULONG v) { return __builtin_bswap32(v); }

// Reads, writes and locks from a 64-bit and a 32-bit program, each in its own record layout:
// quadlet and block transactions by length, data in bus order, results delivered by the worker.
TEST_F(AsyncUserTest, ReadWriteAndLockFromBothLayouts) {
    for (bool is32 : {false, true}) {
        SCOPED_TRACE(is32 ? "32-bit program" : "64-bit program");
        Program p = NewProgram(is32 ? "camera32" : "camera64", is32);
        USHORT node = NodeId(1);

        // Quadlet read: the register's four bytes as they travel, most significant first.
        Result r = Send(p, IOCTL_ASYNC_READ, node, kRegisterBase + 4, 4);
        EXPECT_EQ(r.call, STATUS_SUCCESS);
        EXPECT_EQ(r.status, KX1394_STATUS_SUCCESS);
        EXPECT_EQ(r.ack, async::kAckPending);
        EXPECT_EQ(r.rcode, 0);
        ULONG value = 0;
        memcpy(&value, p.memory + kDataAt, 4);
        EXPECT_EQ(BusOrder(value), Reg(1, 1));

        // Block write of 8 bytes from the program's buffer.
        const UCHAR bytes[8] = {0xCA, 0xFE, 0xBA, 0xBE, 0x01, 0x02, 0x03, 0x04};
        memcpy(p.memory + kSourceAt, bytes, 8);
        UCHAR* r0 = p.memory + kRecordAt;
        p.done = hk::user::CreateEvent(p.process, true, false);
        p.Record(node, kRegisterBase + 8, 8, Lock(), p.done);
        ULONGLONG source = p.Address(kSourceAt);
        if (is32) {
            ULONG narrow = ULONG(source);
            memcpy(r0 + 0x18, &narrow, 4);
        } else {
            memcpy(r0 + 0x20, &source, 8);
        }
        ASSERT_EQ(hk::user::DeviceIoControl(p.process, p.device, IOCTL_ASYNC_WRITE, r0, 96, nullptr, 0, nullptr),
                  STATUS_SUCCESS);
        if (p.Read().ack == async::kAckPending) {
            EXPECT_EQ(hk::user::WaitEvent(p.process, p.done, &kWaitLimit), STATUS_SUCCESS);
        }
        EXPECT_EQ(p.Read().status, 0u);
        EXPECT_EQ(p.Read().rcode, 0);
        EXPECT_EQ(Reg(1, 2), 0xCAFEBABEu);
        EXPECT_EQ(Reg(1, 3), 0x01020304u);

        // Block read of 12 bytes.
        r = Send(p, IOCTL_ASYNC_READ, node, kRegisterBase + 8, 12);
        EXPECT_EQ(r.status, 0u);
        EXPECT_EQ(memcmp(p.memory + kDataAt, bytes, 8), 0);
        memcpy(&value, p.memory + kDataAt + 8, 4);
        EXPECT_EQ(BusOrder(value), Reg(1, 4));

        // compare_swap of 32 bits: the old value comes back as a host-order number.
        ULONG old = Reg(1, 5);
        Lock lock;
        lock.extendedTcode = async::kCompareSwap;
        lock.arg = old;
        lock.data = 0x55AA55AA;
        r = Send(p, IOCTL_ASYNC_LOCK, node, kRegisterBase + 20, 4, lock);
        EXPECT_EQ(r.status, 0u);
        memcpy(&value, p.memory + kDataAt, 4);
        EXPECT_EQ(value, old);
        EXPECT_EQ(Reg(1, 5), 0x55AA55AAu);
        hk::user::SetEvent(p.process, p.terminate);
        hk::RunFor(1000 * kMs100ns);
    }
    EXPECT_EQ(Outstanding(), 0u);
}

// Every extended tcode with 4- and 8-byte operands: the node's register ends as IEEE 1212 says,
// and the old value reaches the program as one host-order number.
TEST_F(AsyncUserTest, LocksOfEveryExtendedTcode) {
    Program p = NewProgram("camera", false);
    for (bool wide : {false, true}) {
        for (USHORT tcode = 1; tcode <= 6; ++tcode) {
            SCOPED_TRACE(testing::Message() << "extended tcode " << tcode << (wide ? " 64-bit" : " 32-bit"));
            ULONG index = 6;  // 8-byte aligned for the 64-bit form
            ULONGLONG old = wide ? (ULONGLONG(Reg(1, index)) << 32) | Reg(1, index + 1) : Reg(1, index);
            Lock lock;
            lock.extendedTcode = tcode;
            lock.wide = wide;
            lock.arg = wide ? 0x0000000100000010ull : 0x10;
            lock.data = wide ? 0x0000000200000003ull : 0x3;
            if (tcode == async::kCompareSwap) lock.arg = old;
            Result r = Send(p, IOCTL_ASYNC_LOCK, NodeId(1), kRegisterBase + 4 * index, wide ? 8 : 4, lock);
            ASSERT_EQ(r.call, STATUS_SUCCESS);
            EXPECT_EQ(r.status, 0u);
            EXPECT_EQ(r.rcode, 0);
            ULONGLONG returned = 0;
            memcpy(&returned, p.memory + kDataAt, wide ? 8 : 4);
            EXPECT_EQ(returned, old);
            ULONGLONG expected = 0;
            ASSERT_TRUE(sim::LockResult(tcode, old, lock.arg, lock.data, wide, &expected));
            ULONGLONG now = wide ? (ULONGLONG(Reg(1, index)) << 32) | Reg(1, index + 1) : Reg(1, index);
            EXPECT_EQ(now, expected);
        }
    }
    // An extended tcode that is no lock function is refused before anything is sent.
    Lock bad;
    bad.extendedTcode = 7;
    EXPECT_EQ(Send(p, IOCTL_ASYNC_LOCK, NodeId(1), kRegisterBase, 4, bad).call, STATUS_INVALID_PARAMETER);
}

struct FaultCase {
    const char* name;
    void (*arm)(sim::CsrNode* node);
    ULONG code;
    ULONG length;
    ULONG status;
    UCHAR ack;
    UCHAR rcode;
    USHORT extendedTcode = 0;  // a lock's function
};

// The model's faults, each on the next request: what the program reads in the end.
const FaultCase kFaultCases[] = {
    // Busy acks within the retry setting (two retries) are retried by the controller.
    {"busyRetried", [](sim::CsrNode* n) { n->faults.busyAcks = 2; }, IOCTL_ASYNC_READ, 4, 0, 2, 0},
    {"busyBeyondRetries", [](sim::CsrNode* n) { n->faults.busyAcks = 3; }, IOCTL_ASYNC_READ, 4, 2, 4, 0},
    {"busyB", [](sim::CsrNode* n) { n->faults.busyAcks = 3; n->faults.busyAck = sim::kAckBusyB; }, IOCTL_ASYNC_WRITE, 4,
     2, 6, 0},
    {"dataError", [](sim::CsrNode* n) { n->faults.dataErrorAcks = 1; }, IOCTL_ASYNC_WRITE, 8, 2, 13, 0},
    {"readBlockErrorRcode", [](sim::CsrNode* n) { n->faults.errorResponses = 1; }, IOCTL_ASYNC_READ, 16, 2, 2, 5},
    // resp_complete with data_length 0 for a 16-byte read: no data, so a data error.
    {"readBlockCompleteWithoutData",
     [](sim::CsrNode* n) {
         n->faults.errorResponses = 1;
         n->faults.errorRcode = 0;
     },
     IOCTL_ASYNC_READ, 16, 2, 2, 5},
    // resp_complete to a lock without its old value: no data, so a data error too.
    {"lockCompleteWithoutData",
     [](sim::CsrNode* n) {
         n->faults.errorResponses = 1;
         n->faults.errorRcode = 0;
     },
     IOCTL_ASYNC_LOCK, 4, 2, 2, 5, 3},
    {"lostResponse", [](sim::CsrNode* n) { n->faults.lostResponses = 1; }, IOCTL_ASYNC_READ, 4, 11, 254, 0},
    {"lateResponse", [](sim::CsrNode* n) { n->faults.lateResponses = 1; }, IOCTL_ASYNC_READ, 4, 11, 254, 0},
};

TEST_F(AsyncUserTest, FaultsOfTheModel) {
    Program p = NewProgram("camera", false);
    for (const FaultCase& c : kFaultCases) {
        SCOPED_TRACE(c.name);
        c.arm(nodes_[1]);
        memset(p.memory + kDataAt, 0x99, 16);
        Lock lock;
        lock.extendedTcode = c.extendedTcode;
        lock.data = 1;
        Result r = Send(p, c.code, NodeId(1), kRegisterBase, c.length, lock);
        EXPECT_EQ(r.call, STATUS_SUCCESS);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.ack, c.ack);
        EXPECT_EQ(r.rcode, c.rcode);
        if (c.status != 0) {
            EXPECT_EQ(p.memory[kDataAt], 0x99);  // no data for a failure
        }
        // A late response after the time-out is discarded; the next request is answered.
        hk::RunFor(500 * kMs100ns);
        Result next = Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4);
        EXPECT_EQ(next.status, 0u);
        ULONG value = 0;
        memcpy(&value, p.memory + kDataAt, 4);
        EXPECT_EQ(BusOrder(value), Reg(1, 0));
    }
}

// The split time-out follows the local SPLIT_TIMEOUT registers (as a remote write sets them): a
// lost response times out after 100 ms by default and after the longer time when they say so.
TEST_F(AsyncUserTest, SplitTimeoutFollowsTheRegisters) {
    Program p = NewProgram("camera", false);
    for (ULONG seconds : {0u, 1u}) {
        SCOPED_TRACE(seconds);
        Controller()->LocalCsr.SplitTimeoutHi = seconds;
        nodes_[1]->faults.lostResponses = 1;
        Result r = Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4, Lock(), false);
        ASSERT_EQ(r.ack, async::kAckPending);
        ULONGLONG before = seconds * 1000 * kMs100ns;
        hk::RunFor(before + 50 * kMs100ns);
        EXPECT_FALSE(p.DoneSet());
        hk::RunFor(200 * kMs100ns);
        EXPECT_TRUE(p.DoneSet());
        EXPECT_EQ(p.Read().status, KX1394_STATUS_TIMEOUT);
        EXPECT_EQ(p.Read().ack, KX1394_ACK_TIMEOUT);
    }
}

// Another node writes SPLIT_TIMEOUT_HI and _LO through the bus: a pair beyond 256.023 s is refused
// and changes nothing, an accepted one makes a lost response time out after the longer time.
TEST_F(AsyncUserTest, SplitTimeoutWrittenByAnotherNode) {
    Program p = NewProgram("camera", false);
    auto write = [&](ULONGLONG offset, ULONG value) {
        sim::Packet packet;
        packet.speed = sim::kS400;
        packet.SetDestinationId(sim_->controller->NodeId());
        packet.SetTcode(sim::kTcodeWriteQuadletRequest);
        packet.SetSourceId(nodes_[0]->NodeId());
        packet.SetOffset(offset);
        packet.header[3] = value;
        EXPECT_EQ(sim_->bus.SendAsync(nodes_[0], packet), sim::kAckPending);
        hk::RunFor(2 * kMs100ns);
    };
    constexpr ULONGLONG kHi = 0xFFFFF0000018ull, kLo = 0xFFFFF000001Cull;
    write(kHi, 256);
    EXPECT_EQ(Controller()->LocalCsr.SplitTimeoutHi, 0u);
    write(kHi, 1);
    write(kLo, 0);
    EXPECT_EQ(Controller()->LocalCsr.SplitTimeoutHi, 1u);
    EXPECT_EQ(Controller()->LocalCsr.SplitTimeoutLo, 0u);
    nodes_[1]->faults.lostResponses = 1;
    Result r = Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4, Lock(), false);
    ASSERT_EQ(r.ack, async::kAckPending);
    hk::RunFor(900 * kMs100ns);
    EXPECT_FALSE(p.DoneSet());  // the 100 ms of before are long past
    hk::RunFor(300 * kMs100ns);
    EXPECT_TRUE(p.DoneSet());
    EXPECT_EQ(p.Read().status, KX1394_STATUS_TIMEOUT);
}

// The local node answers a program's requests to itself (loopback): its configuration ROM and
// TOPOLOGY_MAP as the bus reads them, a compare_swap of CHANNELS_AVAILABLE_HI through the link's
// compare-swap unit, and an address nobody serves with resp_address_error.
TEST_F(AsyncUserTest, TheLocalNodeAnswersItsOwnRequests) {
    Program p = NewProgram("camera", false);
    USHORT local = USHORT(0xFFC0 | Controller()->LocalNodeNumber);
    const auto* rom = static_cast<const UCHAR*>(Controller()->ConfigRom.Virtual);
    Result r = Send(p, IOCTL_ASYNC_READ, local, 0xFFFFF0000400ull, 4);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.rcode, 0);
    EXPECT_EQ(memcmp(p.memory + kDataAt, rom, 4), 0);
    r = Send(p, IOCTL_ASYNC_READ, local, 0xFFFFF0000400ull, 116);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(memcmp(p.memory + kDataAt, rom, 116), 0);
    ULONG header = 0;
    memcpy(&header, p.memory + kDataAt, 4);
    EXPECT_EQ((BusOrder(header) >> 16) & 0xFF, 28u);  // crc_length of the 29-quadlet ROM

    r = Send(p, IOCTL_ASYNC_READ, local, 0xFFFFF0001000ull, 1024);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(memcmp(p.memory + kDataAt, Controller()->TopologyMapImage, 1024), 0);
    ULONG counts = 0;
    memcpy(&counts, p.memory + kDataAt + 8, 4);
    EXPECT_EQ(BusOrder(counts) >> 16, Controller()->NodeCount);

    r = Send(p, IOCTL_ASYNC_READ, local, 0xFFFFF0000224ull, 4);
    ASSERT_EQ(r.status, 0u);
    ULONG channels = 0;
    memcpy(&channels, p.memory + kDataAt, 4);
    channels = BusOrder(channels);
    Lock lock;
    lock.extendedTcode = async::kCompareSwap;
    lock.arg = channels;
    lock.data = channels & ~0x80000000u;  // channel 0 taken
    r = Send(p, IOCTL_ASYNC_LOCK, local, 0xFFFFF0000224ull, 4, lock);
    EXPECT_EQ(r.status, 0u);
    ULONG old = 0;
    memcpy(&old, p.memory + kDataAt, 4);
    EXPECT_EQ(old, channels);
    r = Send(p, IOCTL_ASYNC_READ, local, 0xFFFFF0000224ull, 4);
    memcpy(&old, p.memory + kDataAt, 4);
    EXPECT_EQ(BusOrder(old), channels & ~0x80000000u);
    // A compare value that no longer matches swaps nothing and answers the value as it is.
    r = Send(p, IOCTL_ASYNC_LOCK, local, 0xFFFFF0000224ull, 4, lock);
    memcpy(&old, p.memory + kDataAt, 4);
    EXPECT_EQ(old, channels & ~0x80000000u);

    r = Send(p, IOCTL_ASYNC_READ, local, 0x000012340000ull, 4);
    EXPECT_EQ(r.ack, async::kAckPending);
    EXPECT_EQ(r.rcode, 7);
}

// 64 requests to one node number hold all its labels; the 65th is refused, another node is not
// affected, and the labels come back when the requests end.
TEST_F(AsyncUserTest, LabelExhaustion) {
    Program p = NewProgram("camera", false);
    nodes_[1]->faults.lostResponses = 65;
    for (int i = 0; i < 64; ++i) {
        Result r = Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4, Lock(), false);
        ASSERT_EQ(r.call, STATUS_SUCCESS) << i;
        ASSERT_EQ(r.ack, async::kAckPending) << i;
    }
    EXPECT_EQ(Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4, Lock(), false).call,
              STATUS_INSUFFICIENT_RESOURCES);
    // The same node number on another bus shares the labels.
    EXPECT_EQ(Send(p, IOCTL_ASYNC_READ, USHORT((NodeId(1) & 0x3F) | 0x0040), kRegisterBase, 4, Lock(), false).call,
              STATUS_INSUFFICIENT_RESOURCES);
    Result other = Send(p, IOCTL_ASYNC_READ, NodeId(0), kRegisterBase, 4);
    EXPECT_EQ(other.status, 0u);
    hk::RunFor(500 * kMs100ns);
    nodes_[1]->faults.lostResponses = 0;
    EXPECT_EQ(Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4).status, 0u);
}

// A program that ends before its reads are answered: each read's label stays taken until its
// response comes, the split time-out passes or the bus resets, so the late response never
// completes the next program's read that would otherwise get the same label.
TEST_F(AsyncUserTest, LabelsOfEndedRequestsWaitForTheirResponses) {
    enum Ending { kLateResponse, kLostResponse, kBusReset };
    for (Ending ending : {kLateResponse, kLostResponse, kBusReset}) {
        SCOPED_TRACE(ending);
        nodes_[1]->responseDelay = 50 * sim::kTicksPerMillisecond;
        nodes_[1]->faults.lostResponses = ending == kLateResponse ? 0 : 1;
        Program ended = NewProgram("ending", ending == kLostResponse);
        ASSERT_EQ(Send(ended, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4, Lock(), false).ack, async::kAckPending);
        hk::ExitProcess(ended.process);
        if (ending == kBusReset) {
            sim_->bus.RequestReset(false);
            hk::RunFor(300 * kMs100ns);
        }
        Program next = NewProgram("next", false);
        Result r = Send(next, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase + 4, 4);
        ULONG value = 0;
        memcpy(&value, next.memory + kDataAt, 4);
        ASSERT_EQ(r.status, 0u);
        EXPECT_EQ(BusOrder(value), Reg(1, 1));
        ULONG node = NodeId(1) & 0x3F;
        const ULONG* lingering = Controller()->LingeringLabels[node];
        // The late response gave its label back; a lost one holds it for the split time-out.
        EXPECT_EQ(lingering[0] != 0, ending == kLostResponse);
        hk::RunFor(200 * kMs100ns);
        nodes_[1]->responseDelay = 10 * sim::kTicksPerMicrosecond;
        EXPECT_EQ(Send(next, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4).status, 0u);
        hk::RunFor(1 * kMs100ns);  // the worker gives the label back after it sets the event
        EXPECT_EQ(lingering[0] | lingering[1], 0u);
        EXPECT_EQ(Controller()->LabelPool[node][0] | Controller()->LabelPool[node][1], 0u);
        hk::ExitProcess(next.process);
    }
}

// A length above what the path's speed allows is refused with status 4 and nothing is sent.
TEST_F(AsyncUserTest, LengthAboveTheSpeedLimit) {
    Program p = NewProgram("camera", false);
    ULONGLONG requests = nodes_[1]->stats().requests;
    Result r = Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 2049);  // S400: 2048 bytes
    EXPECT_EQ(r.call, STATUS_SUCCESS);
    EXPECT_EQ(r.status, KX1394_STATUS_TOO_LONG);
    EXPECT_EQ(nodes_[1]->stats().requests, requests);
    r = Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 2048);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(nodes_[1]->stats().requests, requests + 1);
}

// 2048-byte block reads: each response is 2068 bytes in the receive buffers, so every fourth one
// continues from one 8192-byte buffer into the next; every block arrives whole and in order.
TEST_F(AsyncUserTest, BlockResponsesStraddleReceiveBuffers) {
    Program p = NewProgram("camera", false);
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        ULONG first = ULONG(i % 8);
        memset(p.memory + kDataAt, 0, 2048);
        Result r = Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase + 4 * first, 2048);
        ASSERT_EQ(r.status, 0u);
        for (ULONG q = 0; q < 512; q += 97) {
            ULONG value = 0;
            memcpy(&value, p.memory + kDataAt + 4 * q, 4);
            ASSERT_EQ(BusOrder(value), Reg(1, first + q)) << q;
        }
    }
    EXPECT_GE(Controller()->ArResponse.CurrentBuffer, 2u);
}

// A bus reset flushes pending requests (status 1); so does a node unplugged mid-transaction.
TEST_F(AsyncUserTest, BusResetAndUnplugFlushPendingRequests) {
    Program p = NewProgram("camera", false);
    for (bool unplug : {false, true}) {
        SCOPED_TRACE(unplug ? "unplug" : "bus reset");
        nodes_[1]->faults.lostResponses = 1;
        Result r = Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4, Lock(), false);
        ASSERT_EQ(r.ack, async::kAckPending);
        if (unplug)
            sim_->bus.Unplug(nodes_[1]);
        else
            sim_->bus.RequestReset(false);
        EXPECT_EQ(hk::user::WaitEvent(p.process, p.done, &kWaitLimit), STATUS_SUCCESS);
        EXPECT_EQ(p.Read().status, KX1394_STATUS_BUS_RESET);
        hk::RunFor(300 * kMs100ns);
    }
    // The node left: a request to its old number finds nobody.
    Result r = Send(p, IOCTL_ASYNC_READ, NodeId(0), kRegisterBase, 4);
    EXPECT_EQ(r.status, 0u);
}

// A process that ends with requests pending: they are released, and nothing is written into its
// memory afterwards even when the responses come.
TEST_F(AsyncUserTest, ProcessEndsWithRequestsPending) {
    ULONG before = Outstanding();
    Program p = NewProgram("camera", false);
    nodes_[1]->responseDelay = 50 * sim::kTicksPerMillisecond;
    for (int i = 0; i < 3; ++i) {
        Result r = Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4, Lock(), false);
        ASSERT_EQ(r.ack, async::kAckPending);
    }
    memset(p.memory + kStatusAt, 0x77, 6);
    memset(p.memory + kDataAt, 0x77, 4);
    hk::ExitProcess(p.process);
    hk::RunFor(2000 * kMs100ns);
    EXPECT_EQ(Outstanding(), before);
    EXPECT_TRUE(Controller()->PendingList.Flink == &Controller()->PendingList);
}

// The controller removed while requests are pending: everything is released (the host kernel's
// leak report at unload shows any packet, label or locked page left).
TEST_F(AsyncUserTest, ControllerRemovedWithRequestsPending) {
    Program p = NewProgram("camera", false);
    nodes_[1]->faults.lostResponses = 2;
    nodes_[1]->responseDelay = 50 * sim::kTicksPerMillisecond;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4, Lock(), false).ack, async::kAckPending);
    hk::pnp::Unplug(pdo_);
    hk::RunFor(200 * kMs100ns);
    EXPECT_EQ(Outstanding(), 0u);
    hk::user::CloseHandle(p.process, p.device);
}

// A request to the local node is handled in the driver: it never reaches a descriptor ring.
TEST_F(AsyncUserTest, LoopbackNeverReachesARing) {
    Program p = NewProgram("camera", false);
    ULONG queued = Controller()->AtRequest.Counters.Queued;
    USHORT local = USHORT(0xFFC0 | Controller()->LocalNodeNumber);
    Result r = Send(p, IOCTL_ASYNC_READ, local, kRegisterBase, 4);
    EXPECT_EQ(r.call, STATUS_SUCCESS);
    EXPECT_EQ(Controller()->AtRequest.Counters.Queued, queued);
    EXPECT_EQ(Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4).status, 0u);
    EXPECT_EQ(Controller()->AtRequest.Counters.Queued, queued + 1);
}

// An AT request context that dies: requests time out instead of hanging, and the next bus reset
// brings the context back.
TEST_F(AsyncUserTest, DeadTransmitContext) {
    Program p = NewProgram("camera", false);
    sim_->controller->InjectDeadContext(sim::OhciController::ContextId::kAtRequest, 0x0E);
    hk::RunFor(10 * kMs100ns);
    Result r = Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4);
    EXPECT_EQ(r.call, STATUS_SUCCESS);
    EXPECT_EQ(r.status, KX1394_STATUS_TIMEOUT);
    EXPECT_EQ(r.ack, KX1394_ACK_TIMEOUT);
    sim_->bus.RequestReset(false);
    hk::RunFor(300 * kMs100ns);
    EXPECT_EQ(Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4).status, 0u);
}

// A request whose descriptor stays in a dead transmit context after its caller timed out: the
// program's memory is unlocked and its client record let go when the caller's part ends, so the
// program can end at once (no pages locked at its exit), and the bus reset that finally flushes
// the ring frees the packet in a deferred call without releasing the client there.
TEST_F(AsyncUserTest, ProgramEndsWhileItsRequestStaysInTheRing) {
    ULONG before = Outstanding();
    Program p = NewProgram("camera", false);
    sim_->controller->InjectDeadContext(sim::OhciController::ContextId::kAtRequest, 0x0E);
    hk::RunFor(10 * kMs100ns);
    EXPECT_EQ(Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4).status, KX1394_STATUS_TIMEOUT);
    EXPECT_GT(Outstanding(), before);
    hk::ExitProcess(p.process);
    hk::RunFor(100 * kMs100ns);
    sim_->bus.RequestReset(false);
    hk::RunFor(300 * kMs100ns);
    EXPECT_EQ(Outstanding(), before);
}

// PHY and stream packets from a program: a PHY configuration packet reaches every PHY; a stream
// packet goes out; a speed code or channel out of range is refused, a length above the speed's
// limit answers 4.
TEST_F(AsyncUserTest, PhyAndStreamPackets) {
    Program p = NewProgram("camera", false);
    ULONG quadlet = (1u << 22) | (0x2Au << 16);  // T set, gap_count 42
    memcpy(p.memory, &quadlet, 4);
    ULONG returned = 0;
    ASSERT_EQ(hk::user::DeviceIoControl(p.process, p.device, IOCTL_SEND_PHY_PACKET, p.memory, 4, p.memory + 64, 1,
                                        &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(p.memory[64], 0);
    hk::RunFor(5 * kMs100ns);
    EXPECT_EQ(nodes_[0]->phy().gapCount, 0x2A);
    EXPECT_EQ(nodes_[1]->phy().gapCount, 0x2A);

    struct StreamCase {
        UCHAR channel, speed;
        ULONG length;
        NTSTATUS call;
        UCHAR result;
    } cases[] = {{5, KX1394_S400, 8, STATUS_SUCCESS, 0},
                 {5, KX1394_S100, 513, STATUS_SUCCESS, UCHAR(KX1394_STATUS_TOO_LONG)},
                 {5, 9, 8, STATUS_INVALID_PARAMETER, 0xEE},
                 {64, KX1394_S100, 8, STATUS_INVALID_PARAMETER, 0xEE}};
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "channel " << int(c.channel) << " speed " << int(c.speed));
        Kx1394AsyncStream64 record = {};
        record.Channel = c.channel;
        record.Speed = c.speed;
        record.Tag = 1;
        record.Length = c.length;
        record.Data = p.Address(kSourceAt);
        memcpy(p.memory, &record, sizeof(record));
        p.memory[64] = 0xEE;
        EXPECT_EQ(hk::user::DeviceIoControl(p.process, p.device, IOCTL_ASYNC_STREAM, p.memory, 24, p.memory + 64, 1,
                                            nullptr),
                  c.call);
        if (c.call == STATUS_SUCCESS) {
            EXPECT_EQ(p.memory[64], c.result);
        }
    }
}

// A program that did not register cannot send requests; result memory it does not own is an
// error and nothing is sent.
TEST_F(AsyncUserTest, UnregisteredCallersAndForeignMemory) {
    Program stranger = NewProgram("stranger", false, false);
    EXPECT_EQ(Send(stranger, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4).call, STATUS_UNSUCCESSFUL);
    Program p = NewProgram("camera", false);
    ULONGLONG requests = nodes_[1]->stats().requests;
    p.Record(NodeId(1), kRegisterBase, 4, Lock(), p.done);
    ULONGLONG foreign = reinterpret_cast<ULONG_PTR>(stranger.memory);
    memcpy(p.memory + kRecordAt + 0x20, &foreign, 8);  // data result into another process
    EXPECT_EQ(hk::user::DeviceIoControl(p.process, p.device, IOCTL_ASYNC_READ, p.memory, 96, nullptr, 0, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(nodes_[1]->stats().requests, requests);
    ULONG status = 0;
    memcpy(&status, p.memory + kStatusAt, 4);
    EXPECT_EQ(status, KX1394_STATUS_LOCK_FAILED);
}

// A request built in one generation and submitted after a bus reset is refused with status 1 and
// never sent.
TEST_F(AsyncUserTest, StaleGenerationRefused) {
    OhciController* controller = Controller();
    AsyncPacket* packet = AllocatePacket(controller, 0);
    ASSERT_NE(packet, nullptr);
    packet->Destination = NodeId(1);
    ASSERT_TRUE(AllocateLabel(packet));
    async::BuiltPacket built;
    async::BuildReadRequest(&built, NodeId(1), packet->Label, controller->LocalNodeNumber, kRegisterBase, 4);
    SetPacketHeader(packet, built, NodeId(1));
    packet->Generation = CurrentGeneration(controller);
    sim_->bus.RequestReset(false);
    hk::RunFor(300 * kMs100ns);
    ULONGLONG requests = nodes_[1]->stats().requests;
    EXPECT_EQ(SubmitAndWait(packet, false), -11);
    EXPECT_EQ(packet->PacketStatus, ULONG(kPacketBusReset));
    EXPECT_EQ(nodes_[1]->stats().requests, requests);
    ReleasePacket(packet);
}

// A response that arrives before the AT completion of its request: the request completes when its
// ack_pending is processed, with the response's data.
TEST_F(AsyncUserTest, ResponseBeforeTheTransmitCompletion) {
    Program p = NewProgram("camera", false);
    OhciController* controller = Controller();
    // The transmit context stops completing blocks: the request stays in the ring, unacknowledged.
    sim_->controller->InjectDeadContext(sim::OhciController::ContextId::kAtRequest, 0x0E);
    hk::RunFor(10 * kMs100ns);
    Result result;
    PKTHREAD thread = nullptr;
    AsyncPacket* packet = StartStalledRead(p, &result, &thread);
    // The read quadlet response as the AR context stores it: little-endian header quadlets, the
    // data quadlet in bus order.
    UCHAR response[16];
    ULONG q0 = (ULONG(0xFFC0 | controller->LocalNodeNumber) << 16) | (ULONG(packet->Label) << 10) | 0x160;
    ULONG q1 = ULONG(NodeId(1)) << 16;
    ULONG q2 = 0;
    memcpy(response, &q0, 4);
    memcpy(response + 4, &q1, 4);
    memcpy(response + 8, &q2, 4);
    const UCHAR data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    memcpy(response + 12, data, 4);
    KIRQL irql;
    KeAcquireSpinLock(&controller->AsyncLock, &irql);
    MatchResponse(controller, async::kTcodeReadQuadletResponse, response, 16);
    KeReleaseSpinLock(&controller->AsyncLock, irql);
    hk::RunFor(5 * kMs100ns);
    EXPECT_EQ(hk::GetThreadState(thread) == hk::ThreadState::Terminated, false);  // still waiting
    AckedPendingNow(packet);
    hk::JoinThread(thread);
    EXPECT_EQ(result.status, 0u);
    EXPECT_EQ(result.ack, async::kAckPending);
    EXPECT_EQ(memcmp(p.memory + kDataAt, data, 4), 0);
    sim_->bus.RequestReset(false);
    hk::RunFor(300 * kMs100ns);
}

// A request whose transmission completes only after the split time-out has passed (the transmit
// context stalled while another request kept the split time-out watchdog running): its
// ack_pending finds no response, so the program reads a time-out, never a success without data.
TEST_F(AsyncUserTest, TransmitCompletionAfterTheSplitTimeout) {
    Program first = NewProgram("first", false);
    Program p = NewProgram("camera", false);
    nodes_[1]->faults.lostResponses = 1;
    Result lost, result;
    PKTHREAD waiting = hk::StartThread("lost", first.process, [&] {
        lost = Send(first, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase, 4);
    });
    hk::RunFor(1 * kMs100ns);
    sim_->controller->InjectDeadContext(sim::OhciController::ContextId::kAtRequest, 0x0E);
    hk::RunFor(1 * kMs100ns);
    memset(p.memory + kDataAt, 0x99, 4);
    PKTHREAD thread = nullptr;
    AsyncPacket* packet = StartStalledRead(p, &result, &thread);
    hk::RunFor(300 * kMs100ns);
    hk::JoinThread(waiting);
    EXPECT_EQ(lost.status, KX1394_STATUS_TIMEOUT);
    EXPECT_EQ(hk::GetThreadState(thread) == hk::ThreadState::Terminated, false);  // still waiting
    AckedPendingNow(packet);
    hk::JoinThread(thread);
    EXPECT_EQ(result.status, KX1394_STATUS_TIMEOUT);
    EXPECT_EQ(result.ack, KX1394_ACK_TIMEOUT);
    EXPECT_EQ(p.memory[kDataAt], 0x99);
    sim_->bus.RequestReset(false);
    hk::RunFor(300 * kMs100ns);
}

// Two programs, 32-bit and 64-bit, reading from their own threads while the bus resets, under
// several scheduler seeds: every request ends once, with the register's value or a bus reset.
class AsyncSeedTest : public AsyncUserTest, public testing::WithParamInterface<ULONG> {
protected:
    static hk::Options Seeded(ULONG seed) {
        hk::Options options;
        options.seed = seed;
        return options;
    }
    AsyncSeedTest() : AsyncUserTest(Seeded(GetParam())) {}
};

TEST_P(AsyncSeedTest, ConcurrentReadersAcrossABusReset) {
    Program programs[2] = {NewProgram("wide", false), NewProgram("narrow", true)};
    int done[2] = {0, 0};
    int failures = 0;
    PKTHREAD threads[2];
    for (int t = 0; t < 2; ++t) {
        threads[t] = hk::StartThread("reader", programs[t].process, [&, t] {
            for (int i = 0; i < 20; ++i) {
                Result r = Send(programs[t], IOCTL_ASYNC_READ, NodeId(t), kRegisterBase + 4 * ULONG(i % 8), 4);
                ULONG value = 0;
                memcpy(&value, programs[t].memory + kDataAt, 4);
                bool good = r.call == STATUS_SUCCESS &&
                            ((r.status == 0 && BusOrder(value) == Reg(t, ULONG(i % 8))) || r.status == 1);
                if (!good) ++failures;
                ++done[t];
            }
        });
    }
    hk::RunFor(2 * kMs100ns);
    sim_->bus.RequestReset(false);
    hk::JoinThread(threads[0]);
    hk::JoinThread(threads[1]);
    EXPECT_EQ(done[0], 20);
    EXPECT_EQ(done[1], 20);
    EXPECT_EQ(failures, 0);
}

// A program that ends while its responses arrive and the worker delivers: whatever the order, its
// requests are released, no page stays locked and nothing is written afterwards (the host kernel
// stops the test on either).
TEST_P(AsyncSeedTest, ProgramEndsWhileResponsesArrive) {
    ULONG before = Outstanding();
    Program p = NewProgram("camera", GetParam() % 2 == 0);
    nodes_[1]->responseDelay = 1 * sim::kTicksPerMillisecond;
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(Send(p, IOCTL_ASYNC_READ, NodeId(1), kRegisterBase + 4 * ULONG(i), 4, Lock(), false).call,
                  STATUS_SUCCESS);
    hk::RunFor(ULONGLONG(GetParam()) * 2500);  // a quarter millisecond per seed
    hk::ExitProcess(p.process);
    hk::RunFor(1000 * kMs100ns);
    EXPECT_EQ(Outstanding(), before);
}

INSTANTIATE_TEST_SUITE_P(Seeds, AsyncSeedTest, testing::Values(1u, 2u, 3u, 4u));

}  // namespace
