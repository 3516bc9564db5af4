// The class interface's address ranges on the model: a driver on a camera's child allocates
// ranges through IRBs (memory of its own with and without notification, a FIFO of its buffers, a
// routine that answers each request), and another node reads, writes and locks them over the bus.
#include <cstring>
#include <vector>

#include "async/async_packet.h"
#include "bus_fixture.h"
#include "requester_node.h"
#include "test_class_driver.h"

namespace {

constexpr const char* kCameraId = "1394\\Simulated Optics&SO-VGA 1.31";
constexpr ULONG kTestTag = KX_TAG('T', 'R', 'n', 'g');
constexpr ULONG kRangeTag = KX_TAG('Z', 'B', '1', '8');
constexpr ULONG kAllAccess = ACCESS_FLAGS_TYPE_READ | ACCESS_FLAGS_TYPE_WRITE | ACCESS_FLAGS_TYPE_LOCK;
constexpr ULONG kAnySource = ACCESS_FLAGS_TYPE_BROADCAST;

// Memory of the test's "class driver": a non-paged buffer and its MDL.
struct Buffer {
    UCHAR* bytes = nullptr;
    PMDL mdl = nullptr;
    explicit Buffer(ULONG length, ULONG mdlLength = 0) {
        bytes = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, length, kTestTag));
        memset(bytes, 0, length);
        mdl = IoAllocateMdl(bytes, mdlLength != 0 ? mdlLength : length, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
    }
    ~Buffer() {
        IoFreeMdl(mdl);
        ExFreePoolWithTag(bytes, kTestTag);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
};

// What the ranges' routines saw.
struct Seen {
    int calls = 0;
    ULONG offset = 0;
    ULONG length = 0;
    ULONG options = 0;
    PVOID context = nullptr;
    ADDRESS_FIFO* fifo = nullptr;
    ULONG requestQuadlet0 = 0;
    std::vector<UCHAR> fifoData;
};
Seen g_seen;

void Notified(NOTIFICATION_INFO* n) {
    ++g_seen.calls;
    g_seen.offset = n->ulOffset;
    g_seen.length = n->nLength;
    g_seen.options = n->fulNotificationOptions;
    g_seen.context = n->Context;
    g_seen.fifo = n->Fifo;
    memcpy(&g_seen.requestQuadlet0, n->RequestPacket, 4);
    if (n->Fifo != nullptr) {
        auto* bytes = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(n->Fifo->FifoMdl, NormalPagePriority));
        g_seen.fifoData.assign(bytes + n->ulOffset, bytes + n->ulOffset + n->nLength);
    }
}

// A routine that makes the responses of its range: a packet of host-order quadlets, as the bus
// driver hands requests over, with `g_answer` telling what to put in it.
struct Answer {
    ULONG length = 0;        // the response length it reports (0: no response)
    UCHAR rcode = 0;
    ULONG quadlet3 = 0;      // read quadlet: the data as it travels; lock: data_length 15:0 in bytes 14, 15
    UCHAR data[64] = {};
    KEVENT* event = nullptr;
};
Answer g_answer;
UCHAR g_responsePacket[16 + 64];

void Answers(NOTIFICATION_INFO* n) {
    ++g_seen.calls;
    g_seen.length = n->nLength;
    g_seen.options = n->fulNotificationOptions;
    ULONG q1 = ULONG(g_answer.rcode) << 12;
    memset(g_responsePacket, 0, sizeof g_responsePacket);
    memcpy(g_responsePacket + 4, &q1, 4);
    memcpy(g_responsePacket + 12, &g_answer.quadlet3, 4);
    memcpy(g_responsePacket + 16, g_answer.data, sizeof g_answer.data);
    *n->ResponsePacket = g_responsePacket;
    *n->ResponseLength = g_answer.length;
    *n->ResponseEvent = g_answer.event;
}

class AddressRangeTest : public BusDriverTest {
protected:
    explicit AddressRangeTest(const hk::Options& options = hk::Options()) : BusDriverTest(options) {}
    void SetUp() override {
        BusDriverTest::SetUp();
        g_seen = Seen();
        g_answer = Answer();
        camera_ = static_cast<sim::IidcCamera*>(
            sim_->bus.Add(std::make_unique<sim::IidcCamera>(sim::IidcCamera::Config())));
        requester_ = static_cast<RequesterNode*>(sim_->bus.Add(std::make_unique<RequesterNode>()));
        ASSERT_TRUE(sim_->bus.Connect(sim_->controller, 0, camera_, 0));
        ASSERT_TRUE(sim_->bus.Connect(sim_->controller, 1, requester_, 0));
        Start();
        Settle();
        child_ = Children()[kCameraId];
        ASSERT_NE(child_, nullptr);
    }

    struct Range {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        HANDLE handle = nullptr;
        std::vector<ADDRESS_RANGE> pieces;
        PMDL mdl = nullptr;
        uint64_t Start() const { return (uint64_t(pieces[0].AR_Off_High) << 32) | pieces[0].AR_Off_Low; }
    };
    // REQUEST_ALLOCATE_ADDRESS_RANGE with the fields a row sets.
    Range Allocate(const IRB_REQ_ALLOCATE_ADDRESS_RANGE& request, ULONG room = 16) {
        Range range;
        range.pieces.assign(room, ADDRESS_RANGE{});
        IRB irb{};
        irb.FunctionNumber = REQUEST_ALLOCATE_ADDRESS_RANGE;
        irb.u.AllocateAddressRange = request;
        irb.u.AllocateAddressRange.p1394AddressRange = range.pieces.data();
        range.status = testclass::SendIrb(child_, &irb);
        range.handle = irb.u.AllocateAddressRange.hAddressRange;
        range.mdl = irb.u.AllocateAddressRange.Mdl;
        range.pieces.resize(NT_SUCCESS(range.status) ? irb.u.AllocateAddressRange.AddressesReturned : 0);
        return range;
    }
    static IRB_REQ_ALLOCATE_ADDRESS_RANGE Request(ULONG length, ULONG access, PMDL mdl = nullptr,
                                                  ULONG notify = NOTIFY_FLAGS_NEVER, PVOID callback = nullptr) {
        IRB_REQ_ALLOCATE_ADDRESS_RANGE r{};
        r.Mdl = mdl;
        r.nLength = length;
        r.fulAccessType = access;
        r.fulNotificationOptions = notify;
        r.Callback = callback;
        r.Context = &g_seen;
        return r;
    }
    NTSTATUS Free(std::vector<HANDLE> handles) {
        IRB irb{};
        irb.FunctionNumber = REQUEST_FREE_ADDRESS_RANGE;
        irb.u.FreeAddressRange.nAddressesToFree = ULONG(handles.size());
        irb.u.FreeAddressRange.pAddressRange = handles.data();
        return testclass::SendIrb(child_, &irb);
    }
    uint16_t Local() { return sim_->controller->NodeId(); }
    ULONG Counter(ULONG offset) { return Controller()->Statistics.Counters[offset / 4]; }

    sim::IidcCamera* camera_ = nullptr;
    RequesterNode* requester_ = nullptr;
    PDEVICE_OBJECT child_ = nullptr;
};

// 1000 bytes in pieces of at most 256: four pieces at consecutive addresses; ranges placed by the
// driver never overlap one another.
TEST_F(AddressRangeTest, PiecesAndPlaces) {
    auto request = Request(1000, kAllAccess);
    request.MaxSegmentSize = 256;
    Range range = Allocate(request);
    ASSERT_EQ(range.status, STATUS_SUCCESS);
    ASSERT_EQ(range.pieces.size(), 4u);
    const USHORT lengths[] = {256, 256, 256, 232};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(range.pieces[i].AR_Length, lengths[i]) << i;
        uint64_t at = (uint64_t(range.pieces[i].AR_Off_High) << 32) | range.pieces[i].AR_Off_Low;
        EXPECT_EQ(at, range.Start() + 256 * i) << i;
    }
    EXPECT_GE(range.pieces[0].AR_Off_High, 1u);
    EXPECT_NE(range.mdl, nullptr);  // a range without memory of the caller's: the driver's MDL comes back

    std::vector<std::pair<uint64_t, uint64_t>> taken = {{range.Start(), range.Start() + 999}};
    std::vector<HANDLE> handles = {range.handle};
    for (ULONG length : {4u, 4096u, 65535u, 8u, 60000u, 1u, 12345u}) {
        Range more = Allocate(Request(length, kAllAccess));
        ASSERT_EQ(more.status, STATUS_SUCCESS);
        ASSERT_EQ(more.pieces.size(), 1u);
        uint64_t start = more.Start(), end = start + length - 1;
        EXPECT_LE(end, 0xFFFEFFFFFFFFull);
        for (auto& t : taken) EXPECT_TRUE(end < t.first || start > t.second) << std::hex << start;
        taken.push_back({start, end});
        handles.push_back(more.handle);
    }
    EXPECT_EQ(Free(handles), STATUS_SUCCESS);
    EXPECT_EQ(hk::mm::TagCount(kRangeTag), 0u);
}

// Requests that cannot describe a range are refused and leave nothing behind.
TEST_F(AddressRangeTest, BadAllocationsAreRefused) {
    Buffer small(16);
    SLIST_HEADER fifo;
    InitializeSListHead(&fifo);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    struct Row {
        const char* name;
        IRB_REQ_ALLOCATE_ADDRESS_RANGE request;
    };
    std::vector<Row> rows;
    rows.push_back({"length 0", Request(0, kAllAccess)});
    Row r{"past the 48-bit space", Request(0x1000, kAllAccess)};
    r.request.Required1394Offset.Off_High = 0xFFFF;
    r.request.Required1394Offset.Off_Low = 0xFFFFF800;
    rows.push_back(r);
    rows.push_back({"MDL shorter than the range", Request(64, kAllAccess, small.mdl)});
    rows.push_back({"one piece longer than 65535", Request(70000, kAllAccess)});
    r = {"MDL, notification and a FIFO", Request(16, kAllAccess, small.mdl, NOTIFY_FLAGS_AFTER_WRITE)};
    r.request.FifoSListHead = &fifo;
    rows.push_back(r);
    r = {"FIFO without its lock", Request(16, kAllAccess)};
    r.request.FifoSListHead = &fifo;
    rows.push_back(r);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Allocate(row.request).status, STATUS_INVALID_PARAMETER);
    }
    IRB irb{};
    irb.FunctionNumber = REQUEST_ALLOCATE_ADDRESS_RANGE;
    irb.u.AllocateAddressRange = Request(16, kAllAccess);
    EXPECT_EQ(testclass::SendIrb(child_, &irb), STATUS_INVALID_PARAMETER);  // nowhere to report the pieces
    EXPECT_EQ(hk::mm::TagCount(kRangeTag), 0u);
    EXPECT_EQ(hk::mm::TagCount(KX_TAG('M', 'A', 'R', '0')), 0u);
    // A required offset ending at the last address is fine.
    auto last = Request(0x800, kAllAccess);
    last.Required1394Offset.Off_High = 0xFFFF;
    last.Required1394Offset.Off_Low = 0xFFFFF800;
    Range range = Allocate(last);
    EXPECT_EQ(range.status, STATUS_SUCCESS);
    EXPECT_EQ(range.Start(), 0xFFFFFFFFF800ull);
    EXPECT_EQ(Free({range.handle}), STATUS_SUCCESS);
}

// Memory of the driver's own, written and read by another node: quadlets, blocks, locks of 32 and
// 64 bits, a block that runs past the range's end (not the range's), and the statistics.
TEST_F(AddressRangeTest, AnotherNodeReadsWritesAndLocksMemoryOfTheDriver) {
    Buffer memory(64);
    Range range = Allocate(Request(64, kAllAccess | kAnySource, memory.mdl));
    ASSERT_EQ(range.status, STATUS_SUCCESS);
    uint64_t at = range.Start();
    ULONG answered = Counter(0x0C);

    const sim::Packet* r = requester_->Transact(requester_->WriteQuadlet(Local(), at + 4, 0x11223344));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Tcode(), sim::kTcodeWriteResponse);
    EXPECT_EQ(r->Rcode(), 0);
    EXPECT_EQ(BusQuadlet(std::vector<UCHAR>(memory.bytes, memory.bytes + 8), 4), 0x11223344u);
    r = requester_->Transact(requester_->WriteBlock(Local(), at + 8, BusBytes({0xCAFEBABE, 5, 0, 0})));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    r = requester_->Transact(requester_->ReadBlock(Local(), at + 4, 12));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    EXPECT_EQ(r->data, BusBytes({0x11223344, 0xCAFEBABE, 5}));
    r = requester_->Transact(requester_->ReadQuadlet(Local(), at + 8));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->QuadletData(), 0xCAFEBABEu);

    // A 32-bit compare_swap on the last quadlet of the range: its operands are 8 bytes, its
    // target 4.
    r = requester_->Transact(requester_->Lock(Local(), at + 60, 2, BusBytes({0, 7})));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    EXPECT_EQ(r->data, BusBytes({0}));
    EXPECT_EQ(memory.bytes[63], 7);
    // 64-bit compare_swap: the old value comes back in 8 bytes.
    r = requester_->Transact(requester_->Lock(Local(), at + 8, 2, BusBytes({0xCAFEBABE, 5, 1, 2})));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    EXPECT_EQ(r->DataLength(), 8u);
    EXPECT_EQ(r->data, BusBytes({0xCAFEBABE, 5}));
    EXPECT_EQ(BusQuadlet(std::vector<UCHAR>(memory.bytes, memory.bytes + 16), 12), 2u);
    // A lock function the range has no answer for: type error, no data, memory unchanged.
    r = requester_->Transact(requester_->Lock(Local(), at + 8, 7, BusBytes({1, 2})));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 6);
    EXPECT_EQ(r->DataLength(), 0u);
    // Sixteen bytes from the range's last eight lie partly beyond it: not the range's, and nobody
    // else serves that address.
    r = requester_->Transact(requester_->ReadBlock(Local(), at + 56, 16));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 7);
    EXPECT_EQ(Counter(0x0C), answered + 6);
    EXPECT_EQ(Free({range.handle}), STATUS_SUCCESS);
    // Freed, the range answers nothing any more.
    r = requester_->Transact(requester_->ReadQuadlet(Local(), at));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 7);
}

// Without ACCESS_FLAGS_TYPE_BROADCAST a range takes requests from its own device only; a missing
// access type is a type error.
TEST_F(AddressRangeTest, SourcesAndAccess) {
    Buffer memory(16);
    Range range = Allocate(Request(16, ACCESS_FLAGS_TYPE_WRITE, memory.mdl));
    ASSERT_EQ(range.status, STATUS_SUCCESS);
    const sim::Packet* r = requester_->Transact(requester_->WriteQuadlet(Local(), range.Start(), 0x01020304));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 7);
    EXPECT_EQ(memory.bytes[3], 0);
    // The camera itself (the child's node) is served.
    sim::Packet fromCamera = requester_->WriteQuadlet(Local(), range.Start(), 0x01020304);
    fromCamera.SetSourceId(camera_->NodeId());
    EXPECT_EQ(sim_->bus.SendAsync(camera_, fromCamera), sim::kAckPending);
    hk::RunFor(5 * kMs100ns);
    EXPECT_EQ(memory.bytes[3], 4);
    Range open = Allocate(Request(16, ACCESS_FLAGS_TYPE_WRITE | kAnySource, memory.mdl));
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    r = requester_->Transact(requester_->ReadQuadlet(Local(), open.Start()));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 6);
    // A handle that is no range is skipped.
    int stray = 0;
    EXPECT_EQ(Free({&stray, range.handle, open.handle}), STATUS_SUCCESS);
    EXPECT_EQ(hk::mm::TagCount(kRangeTag), 0u);
}

// Writes nobody waits an answer for are stored all the same: a broadcast quadlet write (the link
// acknowledges it ack_complete) and a broadcast block write.
TEST_F(AddressRangeTest, BroadcastWritesAreStoredAndNeverAnswered) {
    Buffer memory(32);
    Range range = Allocate(Request(32, kAllAccess | kAnySource, memory.mdl, NOTIFY_FLAGS_AFTER_WRITE,
                                   reinterpret_cast<PVOID>(Notified)));
    ASSERT_EQ(range.status, STATUS_SUCCESS);
    ULONG responses = Controller()->AtResponse.Counters.Queued;
    sim::Ack ack = sim::kAckMissing;
    EXPECT_EQ(requester_->Transact(requester_->WriteQuadlet(0xFFFF, range.Start(), 0xA1B2C3D4), &ack), nullptr);
    EXPECT_EQ(ack, sim::kAckComplete);
    EXPECT_EQ(memory.bytes[0], 0xA1);
    EXPECT_EQ(requester_->Transact(requester_->WriteBlock(0xFFFF, range.Start() + 8, BusBytes({1, 2, 3}))), nullptr);
    EXPECT_EQ(memory.bytes[19], 3);
    EXPECT_EQ(Controller()->AtResponse.Counters.Queued, responses);
    EXPECT_EQ(g_seen.calls, 2);  // the data changed: the owner hears of it
    EXPECT_EQ(g_seen.offset, 8u);
    EXPECT_EQ(g_seen.length, 12u);
    // The node's own broadcast write (a class write with the broadcast flag) reaches its own range
    // too, though the bus never brings it back; nobody is notified of it.
    Buffer data(4);
    data.bytes[0] = 0x77;
    IRB irb{};
    irb.FunctionNumber = REQUEST_ASYNC_WRITE;
    irb.u.AsyncWrite.DestinationAddress.IA_Destination_Offset.Off_High = USHORT(range.Start() >> 32);
    irb.u.AsyncWrite.DestinationAddress.IA_Destination_Offset.Off_Low = ULONG(range.Start() + 28);
    irb.u.AsyncWrite.nNumberOfBytesToWrite = 4;
    irb.u.AsyncWrite.fulFlags = 0x8 | 0x2;
    irb.u.AsyncWrite.Mdl = data.mdl;
    EXPECT_EQ(testclass::SendIrb(child_, &irb), STATUS_SUCCESS);
    EXPECT_EQ(memory.bytes[28], 0x77);
    EXPECT_EQ(g_seen.calls, 2);
    EXPECT_EQ(Free({range.handle}), STATUS_SUCCESS);
}

// Memory of the driver's with a notification after writes and locks: the routine runs after the
// response, with the offset, length and operation, and a copy of the request.
TEST_F(AddressRangeTest, NotificationAfterTheResponse) {
    Buffer memory(256);
    int context = 0;
    auto request = Request(256, kAllAccess | kAnySource, memory.mdl, NOTIFY_FLAGS_AFTER_WRITE | NOTIFY_FLAGS_AFTER_LOCK,
                           reinterpret_cast<PVOID>(Notified));
    request.Context = &context;
    Range range = Allocate(request);
    ASSERT_EQ(range.status, STATUS_SUCCESS);
    sim::Packet write = requester_->WriteBlock(Local(), range.Start() + 16, BusBytes({1, 2}));
    const sim::Packet* r = requester_->Transact(write);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    EXPECT_EQ(g_seen.calls, 1);
    EXPECT_EQ(g_seen.offset, 16u);
    EXPECT_EQ(g_seen.length, 8u);
    EXPECT_EQ(g_seen.options, NOTIFY_FLAGS_AFTER_WRITE);
    EXPECT_EQ(g_seen.context, &context);
    EXPECT_EQ(g_seen.requestQuadlet0, write.header[0]);
    // Reads notify nobody here; a lock that fails notifies nobody either.
    r = requester_->Transact(requester_->ReadQuadlet(Local(), range.Start()));
    ASSERT_NE(r, nullptr);
    r = requester_->Transact(requester_->Lock(Local(), range.Start(), 2, BusBytes({0, 1, 2})));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(g_seen.calls, 1);
    r = requester_->Transact(requester_->Lock(Local(), range.Start(), 3, BusBytes({5})));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    EXPECT_EQ(g_seen.calls, 2);
    EXPECT_EQ(g_seen.options, NOTIFY_FLAGS_AFTER_LOCK);
    EXPECT_EQ(Free({range.handle}), STATUS_SUCCESS);
}

// A routine that answers a notification by writing to its unit, as a driver forwarding what it
// was told does: the write goes out from DISPATCH_LEVEL in an IRP of its own, while the bus driver
// is still taking requests off its receive ring.
struct ForwardingWrite {
    PDEVICE_OBJECT child = nullptr;
    ULONGLONG offset = 0;
    ULONG* data = nullptr;
    PMDL mdl = nullptr;
    IRB irb{};
    NTSTATUS status = STATUS_PENDING;
};
ForwardingWrite g_forward;

// Completion of an IRP a routine sent from DISPATCH_LEVEL: its status into *Context, the IRP freed.
NTSTATUS RaisedIrbDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    *static_cast<NTSTATUS*>(Context) = Irp->IoStatus.Status;
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void NotifiedAndWrites(NOTIFICATION_INFO* n) {
    Notified(n);
    memcpy(g_forward.data, static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(n->Mdl, NormalPagePriority)) + n->ulOffset, 4);
    g_forward.irb = IRB{};
    g_forward.irb.FunctionNumber = REQUEST_ASYNC_WRITE;
    g_forward.irb.u.AsyncWrite.DestinationAddress.IA_Destination_Offset.Off_High = USHORT(g_forward.offset >> 32);
    g_forward.irb.u.AsyncWrite.DestinationAddress.IA_Destination_Offset.Off_Low = ULONG(g_forward.offset);
    g_forward.irb.u.AsyncWrite.nNumberOfBytesToWrite = 4;
    g_forward.irb.u.AsyncWrite.Mdl = g_forward.mdl;
    (void)testclass::SendIrbRaised(g_forward.child, &g_forward.irb, RaisedIrbDone, &g_forward.status);
}

// The notification routine may send requests of its own: it runs where the bus driver holds none
// of its locks, so a write it sends reaches the bus. Without memory for the notification's record
// the request changes nothing and is answered resp_conflict_error, so its sender may try again.
TEST_F(AddressRangeTest, ANotificationRoutineSendsAWrite) {
    Buffer memory(64);
    Buffer forwarded(4);
    g_forward = ForwardingWrite();
    g_forward.child = child_;
    g_forward.offset = camera_->CommandBase() + sim::iidc::kIsoChannel;
    g_forward.data = reinterpret_cast<ULONG*>(forwarded.bytes);
    g_forward.mdl = forwarded.mdl;
    auto request = Request(64, kAllAccess | kAnySource, memory.mdl, NOTIFY_FLAGS_AFTER_WRITE,
                           reinterpret_cast<PVOID>(NotifiedAndWrites));
    Range range = Allocate(request);
    ASSERT_EQ(range.status, STATUS_SUCCESS);
    const sim::Packet* r =
        requester_->Transact(requester_->WriteQuadlet(Local(), range.Start() + 8, sim::iidc::MakeLegacyIso(5, 2)));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    hk::RunFor(10 * kMs100ns);
    EXPECT_EQ(g_seen.calls, 1);
    EXPECT_EQ(g_forward.status, STATUS_SUCCESS);
    EXPECT_EQ(camera_->IsoChannel(), 5u);

    hk::mm::FailTag(KX_TAG('M', 'A', 'R', '1'), 0, 1);
    r = requester_->Transact(requester_->WriteQuadlet(Local(), range.Start() + 12, 0x01020304));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 4);
    EXPECT_EQ(memcmp(memory.bytes + 12, "\0\0\0\0", 4), 0);
    r = requester_->Transact(requester_->WriteQuadlet(Local(), range.Start() + 12, sim::iidc::MakeLegacyIso(6, 2)));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    hk::RunFor(10 * kMs100ns);
    EXPECT_EQ(g_seen.calls, 2);
    EXPECT_EQ(g_seen.offset, 12u);
    EXPECT_EQ(camera_->IsoChannel(), 6u);
    EXPECT_EQ(Free({range.handle}), STATUS_SUCCESS);
}

// A range whose routine makes each response: what it answers goes out, read only within the
// length it reports and the room of the response; without a length nothing is answered.
TEST_F(AddressRangeTest, ARoutineAnswersEachRequest) {
    auto request = Request(128, kAllAccess | kAnySource, nullptr, NOTIFY_FLAGS_NEVER, reinterpret_cast<PVOID>(Answers));
    Range range = Allocate(request);
    ASSERT_EQ(range.status, STATUS_SUCCESS);
    ULONG callbacks = Counter(0x4C);
    KEVENT sent;
    KeInitializeEvent(&sent, NotificationEvent, FALSE);

    g_answer.length = 16;
    g_answer.quadlet3 = 0x44332211;  // bytes 11 22 33 44 as they travel
    g_answer.event = &sent;
    const sim::Packet* r = requester_->Transact(requester_->ReadQuadlet(Local(), range.Start()));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    EXPECT_EQ(r->QuadletData(), 0x11223344u);
    EXPECT_EQ(KeReadStateEvent(&sent), 1);
    EXPECT_EQ(g_seen.options, NOTIFY_FLAGS_AFTER_READ);

    // A block of 32 from a packet that holds 8 data bytes: those 8, then zeros.
    g_answer = Answer();
    g_answer.length = 24;
    for (int i = 0; i < 64; ++i) g_answer.data[i] = UCHAR(i + 1);
    r = requester_->Transact(requester_->ReadBlock(Local(), range.Start(), 32));
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->data.size(), 32u);
    EXPECT_EQ(r->data[7], 8);
    EXPECT_EQ(r->data[8], 0);
    // A lock answer that says 200 bytes: the 4 of a 32-bit old value go out.
    g_answer.length = sizeof g_responsePacket;
    g_answer.quadlet3 = 200u << 16;
    r = requester_->Transact(requester_->Lock(Local(), range.Start(), 2, BusBytes({0, 1})));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->DataLength(), 4u);
    EXPECT_EQ(r->data, std::vector<uint8_t>({1, 2, 3, 4}));
    // An error answer, then none at all.
    g_answer.rcode = 5;
    r = requester_->Transact(requester_->WriteQuadlet(Local(), range.Start() + 4, 1));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 5);
    g_answer.length = 0;
    EXPECT_EQ(requester_->Transact(requester_->ReadQuadlet(Local(), range.Start())), nullptr);
    EXPECT_EQ(Counter(0x4C), callbacks + 5);
    EXPECT_EQ(Counter(0x2C), 1u);  // answered by a routine with rcode 5
    EXPECT_EQ(Free({range.handle}), STATUS_SUCCESS);
}

// A class driver's FIFO of ADDRESS_FIFO elements and its spin lock, as a FIFO range takes them.
struct alignas(16) CallerFifo {
    SLIST_HEADER head;
    KSPIN_LOCK lock;
    CallerFifo() {
        InitializeSListHead(&head);
        KeInitializeSpinLock(&lock);
    }
    void GiveTo(IRB_REQ_ALLOCATE_ADDRESS_RANGE& request) {
        request.FifoSListHead = &head;
        request.FifoSpinLock = &lock;
    }
};

// A FIFO range: each written request takes one of the caller's buffers, which then belongs to its
// routine; an element too short for the request stays on the list; an empty list answers 15.
TEST_F(AddressRangeTest, FifoElements) {
    CallerFifo fifo;
    Buffer shortOne(8), longOne(64);
    ADDRESS_FIFO elements[2] = {};
    elements[0].FifoMdl = longOne.mdl;
    elements[1].FifoMdl = shortOne.mdl;
    InterlockedPushEntrySList(&fifo.head, &elements[0].FifoList);
    InterlockedPushEntrySList(&fifo.head, &elements[1].FifoList);  // taken first
    auto request = Request(64, kAllAccess | kAnySource, nullptr, NOTIFY_FLAGS_AFTER_WRITE,
                           reinterpret_cast<PVOID>(Notified));
    fifo.GiveTo(request);
    Range range = Allocate(request);
    ASSERT_EQ(range.status, STATUS_SUCCESS);

    // 16 bytes at offset 8 do not fit the 8-byte element: it goes back, unwritten.
    const sim::Packet* r = requester_->Transact(requester_->WriteBlock(Local(), range.Start() + 8, BusBytes({9, 8, 7, 6})));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 15);
    EXPECT_EQ(ExQueryDepthSList(&fifo.head), 2);
    EXPECT_EQ(shortOne.bytes[7], 0);
    // 4 bytes at offset 4 fit it: the routine gets it with the data.
    r = requester_->Transact(requester_->WriteQuadlet(Local(), range.Start() + 4, 0x0A0B0C0D));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    EXPECT_EQ(g_seen.fifo, &elements[1]);
    EXPECT_EQ(g_seen.fifoData, std::vector<UCHAR>({0x0A, 0x0B, 0x0C, 0x0D}));
    EXPECT_EQ(ExQueryDepthSList(&fifo.head), 1);
    r = requester_->Transact(requester_->WriteBlock(Local(), range.Start() + 8, BusBytes({9, 8, 7, 6})));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    EXPECT_EQ(g_seen.fifo, &elements[0]);
    EXPECT_EQ(BusQuadlet(std::vector<UCHAR>(longOne.bytes, longOne.bytes + 24), 20), 6u);
    r = requester_->Transact(requester_->WriteQuadlet(Local(), range.Start(), 1));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 15);
    // Reads are not notified: they go to the range's own buffer, which holds no memory.
    r = requester_->Transact(requester_->ReadQuadlet(Local(), range.Start()));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 15);
    EXPECT_EQ(Free({range.handle}), STATUS_SUCCESS);
}

// Two requests arrive together, for a range whose routine frees the other range (a FIFO whose
// notification waits behind): by the time the free returns, the FIFO element is back on its list
// and that range's routine is never called.
struct FreeingRoutine {
    PDEVICE_OBJECT child = nullptr;
    HANDLE other = nullptr;
    SLIST_HEADER* otherFifo = nullptr;
    IRB irb{};
    NTSTATUS status = STATUS_PENDING;
    USHORT depthAfterFree = 0xFFFF;
    int otherCalls = 0;
};
FreeingRoutine g_freeing;

void FreesTheOther(NOTIFICATION_INFO* n) {
    Notified(n);
    g_freeing.irb = IRB{};
    g_freeing.irb.FunctionNumber = REQUEST_FREE_ADDRESS_RANGE;
    g_freeing.irb.u.FreeAddressRange.nAddressesToFree = 1;
    g_freeing.irb.u.FreeAddressRange.pAddressRange = &g_freeing.other;
    (void)testclass::SendIrbRaised(g_freeing.child, &g_freeing.irb, RaisedIrbDone, &g_freeing.status);
    g_freeing.depthAfterFree = ExQueryDepthSList(g_freeing.otherFifo);
}

void CountsOtherCalls(NOTIFICATION_INFO*) { ++g_freeing.otherCalls; }

TEST_F(AddressRangeTest, ARangeFreedWithANotificationQueued) {
    CallerFifo fifo;
    Buffer element(64), memory(64);
    ADDRESS_FIFO entry = {};
    entry.FifoMdl = element.mdl;
    InterlockedPushEntrySList(&fifo.head, &entry.FifoList);
    auto fifoRequest = Request(64, kAllAccess | kAnySource, nullptr, NOTIFY_FLAGS_AFTER_WRITE,
                               reinterpret_cast<PVOID>(CountsOtherCalls));
    fifo.GiveTo(fifoRequest);
    Range other = Allocate(fifoRequest);
    ASSERT_EQ(other.status, STATUS_SUCCESS);
    Range freeing = Allocate(Request(64, kAllAccess | kAnySource, memory.mdl, NOTIFY_FLAGS_AFTER_WRITE,
                                     reinterpret_cast<PVOID>(FreesTheOther)));
    ASSERT_EQ(freeing.status, STATUS_SUCCESS);
    g_freeing = FreeingRoutine();
    g_freeing.child = child_;
    g_freeing.other = other.handle;
    g_freeing.otherFifo = &fifo.head;

    requester_->received.clear();
    (void)requester_->bus()->SendAsync(requester_, requester_->WriteQuadlet(Local(), freeing.Start(), 1));
    (void)requester_->bus()->SendAsync(requester_, requester_->WriteQuadlet(Local(), other.Start(), 2));
    hk::RunFor(10 * kMs100ns);
    ASSERT_EQ(requester_->received.size(), 2u);
    EXPECT_EQ(requester_->received[1].Rcode(), 0);   // the FIFO took its element for the write
    EXPECT_EQ(g_freeing.status, STATUS_SUCCESS);
    EXPECT_EQ(g_freeing.depthAfterFree, 1);
    EXPECT_EQ(g_freeing.otherCalls, 0);
    EXPECT_EQ(Free({freeing.handle}), STATUS_SUCCESS);
}

// A routine that frees its own range from inside its notification (a one-shot range): the free
// runs inline at DISPATCH_LEVEL and does not wait for the notification it is called from.
HANDLE g_selfHandle = nullptr;
NTSTATUS g_selfFreed = STATUS_PENDING;
void FreesItself(NOTIFICATION_INFO* n) {
    Notified(n);
    g_freeing.irb = IRB{};
    g_freeing.irb.FunctionNumber = REQUEST_FREE_ADDRESS_RANGE;
    g_freeing.irb.u.FreeAddressRange.nAddressesToFree = 1;
    g_freeing.irb.u.FreeAddressRange.pAddressRange = &g_selfHandle;
    (void)testclass::SendIrbRaised(g_freeing.child, &g_freeing.irb, RaisedIrbDone, &g_selfFreed);
}

TEST_F(AddressRangeTest, ARoutineFreesItsOwnRange) {
    Buffer memory(64);
    g_freeing = FreeingRoutine();
    g_freeing.child = child_;
    g_selfFreed = STATUS_PENDING;
    Range range = Allocate(Request(64, kAllAccess | kAnySource, memory.mdl, NOTIFY_FLAGS_AFTER_WRITE,
                                   reinterpret_cast<PVOID>(FreesItself)));
    ASSERT_EQ(range.status, STATUS_SUCCESS);
    g_selfHandle = range.handle;
    const sim::Packet* r = requester_->Transact(requester_->WriteQuadlet(Local(), range.Start(), 1));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    hk::RunFor(2 * kMs100ns);
    EXPECT_EQ(g_selfFreed, STATUS_SUCCESS);
    // Gone: the next write finds no range.
    r = requester_->Transact(requester_->WriteQuadlet(Local(), range.Start(), 2));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), sim::kRcodeAddressError);
}

// The physical-mapping routine of GET_LOCAL_HOST_INFO level 4: allocations and frees at raised
// IRQL, with the pieces in bus order and the caller told when done; the host's configuration ROM
// of level 5.
int g_allocated = 0;
void AllocationDone(PVOID context) { g_allocated += *static_cast<int*>(context); }

TEST_F(AddressRangeTest, PhysicalMappingRoutineAndHostInformation) {
    GET_LOCAL_HOST_INFO4 routine{};
    IRB info{};
    info.FunctionNumber = REQUEST_GET_LOCAL_HOST_INFO;
    info.u.GetLocalHostInformation.nLevel = GET_PHYS_ADDR_ROUTINE;
    info.u.GetLocalHostInformation.Information = &routine;
    ASSERT_EQ(testclass::SendIrb(child_, &info), STATUS_SUCCESS);
    ASSERT_NE(routine.PhysAddrMappingRoutine, nullptr);

    Buffer memory(64);
    int one = 1;
    ADDRESS_RANGE pieces[2] = {};
    IRB irb{};
    irb.FunctionNumber = REQUEST_ALLOCATE_ADDRESS_RANGE;
    irb.u.AllocateAddressRange = Request(64, kAllAccess | kAnySource, memory.mdl);
    irb.u.AllocateAddressRange.Callback = reinterpret_cast<PVOID>(AllocationDone);
    irb.u.AllocateAddressRange.Context = &one;
    irb.u.AllocateAddressRange.p1394AddressRange = pieces;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    NTSTATUS status = routine.PhysAddrMappingRoutine(routine.Context, &irb);
    KeLowerIrql(irql);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(g_allocated, 1);
    EXPECT_EQ(irb.u.AllocateAddressRange.AddressesReturned, 1u);
    ULONG halves[2];
    memcpy(halves, pieces, 8);
    uint64_t start = (uint64_t(__builtin_bswap32(halves[0]) & 0xFFFF) << 32) | __builtin_bswap32(halves[1]);
    EXPECT_EQ(__builtin_bswap32(halves[0]) >> 16, 64u);
    const sim::Packet* r = requester_->Transact(requester_->WriteQuadlet(Local(), start, 0x5A5A5A5A));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    EXPECT_EQ(memory.bytes[0], 0x5A);

    HANDLE handle = irb.u.AllocateAddressRange.hAddressRange;
    IRB freeIrb{};
    freeIrb.FunctionNumber = REQUEST_FREE_ADDRESS_RANGE;
    freeIrb.u.FreeAddressRange.nAddressesToFree = 1;
    freeIrb.u.FreeAddressRange.pAddressRange = &handle;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_EQ(routine.PhysAddrMappingRoutine(routine.Context, &freeIrb), STATUS_SUCCESS);
    IRB other{};
    other.FunctionNumber = REQUEST_ASYNC_READ;
    EXPECT_EQ(routine.PhysAddrMappingRoutine(routine.Context, &other), STATUS_UNSUCCESSFUL);
    KeLowerIrql(irql);
    EXPECT_EQ(hk::mm::TagCount(kRangeTag), 0u);

    // Level 5: the local configuration ROM, its length first.
    GET_LOCAL_HOST_INFO5 rom{};
    UCHAR bytes[256] = {};
    rom.ConfigRom = bytes;
    rom.ConfigRomLength = 8;
    info.u.GetLocalHostInformation.nLevel = GET_HOST_CONFIG_ROM;
    info.u.GetLocalHostInformation.Information = &rom;
    EXPECT_EQ(testclass::SendIrb(child_, &info), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(rom.ConfigRomLength, 116u);  // 29 quadlets
    EXPECT_EQ(testclass::SendIrb(child_, &info), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(bytes, Controller()->ConfigRom.Virtual, 116), 0);
}

// A child that goes takes its ranges with it.
TEST_F(AddressRangeTest, RangesGoWithTheirChild) {
    Buffer memory(16);
    Range range = Allocate(Request(16, kAllAccess | kAnySource, memory.mdl));
    ASSERT_EQ(range.status, STATUS_SUCCESS);
    Range own = Allocate(Request(16, kAllAccess | kAnySource));
    ASSERT_EQ(own.status, STATUS_SUCCESS);
    EXPECT_EQ(hk::mm::TagCount(kRangeTag), 2u);
    sim_->bus.Unplug(camera_);
    Settle();
    EXPECT_EQ(Children().count(kCameraId), 0u);
    EXPECT_EQ(hk::mm::TagCount(kRangeTag), 0u);
    const sim::Packet* r = requester_->Transact(requester_->ReadQuadlet(Local(), range.Start()));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 7);
}

// Under several scheduler seeds: a driver allocates and frees a range with a notification over
// and over while another node keeps writing into its place. Every write is answered (stored or
// address error), the routine runs only for a listed range, and nothing is left at the end.
class AddressRangeSeedTest : public AddressRangeTest, public ::testing::WithParamInterface<ULONG> {
protected:
    static hk::Options Seeded(ULONG seed) {
        hk::Options options;
        options.seed = seed;
        return options;
    }
    AddressRangeSeedTest() : AddressRangeTest(Seeded(GetParam())) {}
};

TEST_P(AddressRangeSeedTest, RangesFreedWhileRequestsArrive) {
    constexpr uint64_t kPlace = 0x000200000000ull;
    Buffer memory(64);
    int answered = 0, unanswered = 0;
    requester_->received.clear();
    for (int i = 0; i < 200; ++i) {
        sim_->host.Schedule(sim_->host.Now() + (i + 1) * 20 * sim::kTicksPerMicrosecond, [this, i] {
            requester_->bus()->SendAsync(requester_, requester_->WriteQuadlet(Local(), kPlace + 4 * (i % 16), ULONG(i)));
        });
    }
    auto request = Request(64, kAllAccess | kAnySource, memory.mdl, NOTIFY_FLAGS_AFTER_WRITE,
                           reinterpret_cast<PVOID>(Notified));
    request.Required1394Offset.Off_High = USHORT(kPlace >> 32);
    request.Required1394Offset.Off_Low = ULONG(kPlace);
    PKTHREAD driver = hk::StartThread("class driver", nullptr, [&] {
        for (int round = 0; round < 20; ++round) {
            Range range = Allocate(request);
            EXPECT_EQ(range.status, STATUS_SUCCESS);
            LARGE_INTEGER pause;
            pause.QuadPart = -1000;  // 100 us
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
            EXPECT_EQ(Free({range.handle}), STATUS_SUCCESS);
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
    });
    hk::JoinThread(driver);
    hk::RunFor(50 * kMs100ns);
    for (const sim::Packet& p : requester_->received) {
        if (!p.IsResponse()) continue;  // the driver reading the requester's configuration ROM
        EXPECT_EQ(p.Tcode(), sim::kTcodeWriteResponse);
        EXPECT_TRUE(p.Rcode() == 0 || p.Rcode() == 7) << int(p.Rcode());
        (p.Rcode() == 0 ? answered : unanswered)++;
    }
    EXPECT_EQ(answered + unanswered, 200);
    EXPECT_GT(answered, 0);  // the writes met the range both listed and freed
    EXPECT_GT(unanswered, 0);
    EXPECT_EQ(g_seen.calls, answered);
    EXPECT_EQ(hk::mm::TagCount(kRangeTag), 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, AddressRangeSeedTest, ::testing::Values(1u, 7u, 42u, 1234u));

}  // namespace
