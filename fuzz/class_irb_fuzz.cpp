// IRBs of every function number through the class dispatcher of an IIDC camera's child device on
// the model, as a class driver sends them (IOCTL_1394_CLASS), from passive level or from raised
// IRQL (the dispatcher's work item then runs them). The input picks the function (0 to 40) and
// every number of its parameter record; each pointer of a record points at memory the harness
// owns, of the size the record says (a kernel caller is trusted with its pointers and sizes, not
// with their contents): MDLs over harness buffers, isochronous descriptors with a callback,
// address-range pieces, FIFO lists, leaf and directory buffers, notification routines, device
// objects of the bus. A function whose parameter record this table does not describe (a number
// past the interface's, or one added later without a row) gets a zeroed record. Resources the
// input obtains (bandwidth, channels, isochronous resources with attached buffers, address
// ranges, notifications) stay for the rest of the input while a peer node sends isochronous
// packets and asynchronous requests into them and the bus may reset; the physical-mapping
// routine a host-information request hands out is called too.
//
// Checked beyond the sanitizers and the host kernel's rules: every request completes with a
// status; a descriptor's callback runs at most once; after the input frees what it obtained, no
// class record, resource, range, notification, attached descriptor or packet is left, the local
// channel and bandwidth books are as they were, and the driver's view matches the model's bus.
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "bus/bus_device.h"
#include "bus/irb.h"
#include "core/controller.h"
#include "driver_on_bus.h"
#include "fuzz_input.h"
#include "async/async_packet.h"
#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "iidc_camera.h"
#include "ohci/pool_tags.h"
#include "peer_node.h"

namespace {

using kxfuzz::kMs;

constexpr ULONG kHarnessTag = KX_TAG('F', 'z', 'I', 'r');
constexpr ULONG kFunctions = 41;

kxfuzz::PeerNode* g_peer = nullptr;
PDEVICE_OBJECT g_child = nullptr;
ULONG g_baselinePackets = 0;
ULONG g_baselineBusTags[kBusListCount] = {};
LocalCsrValues g_baselineCsr;

// Harness memory of one input: pool blocks (with an MDL each), freed when the input ends.
struct Block {
    PUCHAR memory = nullptr;
    ULONG bytes = 0;
    PMDL mdl = nullptr;
};

struct Descriptors {
    ISOCH_DESCRIPTOR* array = nullptr;
    ULONG count = 0;
    volatile LONG* calls = nullptr;  // callbacks per descriptor
};

struct Session {
    std::deque<Block> blocks;
    std::vector<Descriptors> descriptors;
    std::vector<HANDLE> resources, bandwidths;
    std::vector<ULONG> channels;
    std::vector<HANDLE> ranges;
    std::vector<std::pair<PVOID, bool>> notifications;  // context, extended
    PPORT_PHYS_ADDR_ROUTINE mapping = nullptr;
    PVOID mappingContext = nullptr;
    PSLIST_HEADER fifo = nullptr;
    PKSPIN_LOCK fifoLock = nullptr;
    PUCHAR response = nullptr;  // what a notification routine answers with
};

Session* g_session = nullptr;
volatile LONG g_notifications = 0;
volatile LONG g_resetNotifications = 0;

Block* NewBlock(Session& s, ULONG bytes) {
    Block b;
    b.bytes = bytes;
    b.memory = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bytes == 0 ? 1 : bytes, kHarnessTag));
    KXF_CHECK(b.memory != nullptr);
    std::memset(b.memory, 0x5A, bytes == 0 ? 1 : bytes);
    b.mdl = IoAllocateMdl(b.memory, bytes == 0 ? 1 : bytes, FALSE, FALSE, nullptr);
    KXF_CHECK(b.mdl != nullptr);
    MmBuildMdlForNonPagedPool(b.mdl);
    s.blocks.push_back(b);
    return &s.blocks.back();
}

PMDL NewMdl(Session& s, kxfuzz::Input& in) {
    uint8_t pick = in.U8();
    if (pick == 0) return nullptr;
    return NewBlock(s, (pick & 0x80) ? in.U16() % 20000 : 4u * (pick & 0x7F))->mdl;
}

// --- Routines a class driver hands the bus driver ----------------------------------------------

void DescriptorDone(PVOID context1, PVOID context2) {
    (void)context2;
    InterlockedIncrement(static_cast<volatile LONG*>(context1));
}

void ResetNotice(PVOID context) {
    (void)context;
    InterlockedIncrement(&g_resetNotifications);
}

// Notification of a range: a FIFO element goes back on its list; a range whose routine answers
// gets a response of the length its context says, from the session's response buffer.
void RangeNotice(NOTIFICATION_INFO* info) {
    InterlockedIncrement(&g_notifications);
    ULONG answer = ULONG(reinterpret_cast<ULONG_PTR>(info->Context));
    if (info->Fifo != nullptr && g_session != nullptr && g_session->fifo != nullptr)
        InterlockedPushEntrySList(g_session->fifo, &info->Fifo->FifoList);
    if (info->ResponsePacket != nullptr && answer != 0 && g_session != nullptr) {
        *info->ResponsePacket = g_session->response;
        *info->ResponseLength = answer % 64;
    }
}

void AllocationDone(PVOID context) { (void)context; }

// --- Parameter records ----------------------------------------------------------------------------

void SetOffset(ADDRESS_OFFSET* o, kxfuzz::Input& in, const sim::IidcCamera* camera) {
    uint64_t offset;
    switch (in.U8() % 4) {
    case 0: offset = 0xFFFFF0000400ull + 4u * (in.U8() % 64); break;
    case 1: offset = camera->CommandBase() + (in.U16() & 0xFFC); break;
    case 2: offset = 0xFFFFF0000000ull + 4u * in.U8(); break;
    default: offset = in.U64() & 0xFFFFFFFFFFFFull; break;
    }
    o->Off_High = USHORT(offset >> 32);
    o->Off_Low = ULONG(offset);
}

ULONG PickGeneration(kxfuzz::Input& in) {
    ULONG current = CurrentGeneration(kxfuzz::DriverOnBus::Get().Controller());
    return (in.U8() & 1) ? current : current + in.U8();
}

ULONG PickSpeed(kxfuzz::Input& in) {
    uint8_t pick = in.U8();
    return pick < 0xC0 ? 1u << (pick % 6) : pick;
}

HANDLE PickHandle(kxfuzz::Input& in, const std::vector<HANDLE>& known) {
    uint8_t pick = in.U8();
    if (pick < 0xC0 && !known.empty()) return known[pick % known.size()];
    return reinterpret_cast<HANDLE>(ULONG_PTR(pick & 0x0F));
}

void FillAttach(Session& s, kxfuzz::Input& in, IRB_REQ_ISOCH_ATTACH_BUFFERS* r, bool detach) {
    r->hResource = PickHandle(in, s.resources);
    if (detach && !s.descriptors.empty() && (in.U8() & 1)) {
        const Descriptors& d = s.descriptors[in.U8() % s.descriptors.size()];
        r->nNumberOfDescriptors = d.count;
        r->pIsochDescriptor = d.array;
        return;
    }
    Descriptors d;
    d.count = in.U8() % 5;
    Block* array = NewBlock(s, ULONG(sizeof(ISOCH_DESCRIPTOR) * (d.count + 1)));
    Block* calls = NewBlock(s, ULONG(sizeof(LONG) * (d.count + 1)));
    std::memset(array->memory, 0, array->bytes);
    std::memset(calls->memory, 0, calls->bytes);
    d.array = reinterpret_cast<ISOCH_DESCRIPTOR*>(array->memory);
    d.calls = reinterpret_cast<volatile LONG*>(calls->memory);
    for (ULONG i = 0; i < d.count; ++i) {
        ISOCH_DESCRIPTOR& x = d.array[i];
        x.fulFlags = in.U8() & 0x1F;
        x.Mdl = NewMdl(s, in);
        x.ulLength = (in.U8() & 1) && x.Mdl != nullptr ? MmGetMdlByteCount(x.Mdl) : in.U16();
        x.nMaxBytesPerFrame = in.U16() % 4200;
        x.ulSynch = in.U8() & 0xF;
        x.ulTag = in.U8() & 3;
        x.Callback = (in.U8() & 7) != 0 ? DescriptorDone : nullptr;
        x.Context1 = const_cast<LONG*>(&d.calls[i]);
    }
    r->nNumberOfDescriptors = (in.U8() & 0x10) ? d.count + 1 - (d.count != 0) : d.count;
    r->pIsochDescriptor = d.count != 0 || (in.U8() & 1) ? d.array : nullptr;
    s.descriptors.push_back(d);
}

void FillAllocateRange(Session& s, kxfuzz::Input& in, IRB_REQ_ALLOCATE_ADDRESS_RANGE* r) {
    uint8_t pick = in.U8();
    // Up to 256 KiB: the driver backs every range with pool of its length (a class driver asking
    // for gigabytes would have them taken from non-paged pool, not a test of anything here).
    r->nLength = (pick & 0x80) ? in.U32() % 0x40001 : 4u * (1 + in.U8() % 64);
    if ((pick & 3) == 1) {
        Block* memory = NewBlock(s, (in.U8() & 1) ? r->nLength : in.U16() % 4096);
        r->Mdl = memory->mdl;
    }
    if ((pick & 3) == 2) {
        // A FIFO: a list of the harness's elements, each with its own buffer.
        if (s.fifo == nullptr) {
            s.fifo = reinterpret_cast<PSLIST_HEADER>(NewBlock(s, sizeof(SLIST_HEADER) + 16)->memory);
            s.fifoLock = reinterpret_cast<PKSPIN_LOCK>(NewBlock(s, sizeof(KSPIN_LOCK))->memory);
            InitializeSListHead(s.fifo);
            KeInitializeSpinLock(s.fifoLock);
        }
        for (uint8_t i = 0, n = in.U8() % 4; i < n; ++i) {
            auto* element = reinterpret_cast<ADDRESS_FIFO*>(NewBlock(s, sizeof(ADDRESS_FIFO) + 16)->memory);
            element->FifoMdl = NewMdl(s, in);
            InterlockedPushEntrySList(s.fifo, &element->FifoList);
        }
        r->FifoSListHead = (in.U8() & 7) ? s.fifo : nullptr;
        r->FifoSpinLock = (in.U8() & 7) ? s.fifoLock : nullptr;
    }
    r->fulFlags = in.U8() & 3;
    r->MaxSegmentSize = (in.U8() & 1) ? in.U32() : 0;
    r->fulAccessType = in.U8() & 0xF;
    r->fulNotificationOptions = in.U8() & 7;
    r->Callback = (in.U8() & 3) ? reinterpret_cast<PVOID>(RangeNotice) : nullptr;
    r->Context = reinterpret_cast<PVOID>(ULONG_PTR(in.U8()));
    if (in.U8() & 1) {
        r->Required1394Offset.Off_High = in.U16();
        r->Required1394Offset.Off_Low = in.U32() & ~3u;
    }
    // Room for every piece the range may be cut into.
    ULONG piece = r->MaxSegmentSize != 0 && r->MaxSegmentSize < r->nLength ? r->MaxSegmentSize : r->nLength;
    ULONGLONG pieces = piece == 0 ? 1 : (ULONGLONG(r->nLength) + piece - 1) / piece;
    if (pieces <= 4096 && (in.U8() & 0xF) != 0)
        r->p1394AddressRange = reinterpret_cast<ADDRESS_RANGE*>(NewBlock(s, ULONG(pieces * sizeof(ADDRESS_RANGE)))->memory);
    r->DeviceExtension = g_child->DeviceExtension;
}

void FillFreeRange(Session& s, kxfuzz::Input& in, IRB_REQ_FREE_ADDRESS_RANGE* r) {
    ULONG count = in.U8() % 3;
    auto* handles = reinterpret_cast<HANDLE*>(NewBlock(s, ULONG(sizeof(HANDLE) * (count + 1)))->memory);
    for (ULONG i = 0; i < count; ++i) handles[i] = PickHandle(in, s.ranges);
    r->nAddressesToFree = count;
    r->p1394AddressRange = reinterpret_cast<ADDRESS_RANGE*>(NewBlock(s, 64)->memory);
    r->pAddressRange = (in.U8() & 7) ? handles : nullptr;
    r->DeviceExtension = g_child->DeviceExtension;
}

void FillHostInfo(Session& s, kxfuzz::Input& in, IRB_REQ_GET_LOCAL_HOST_INFORMATION* r) {
    r->nLevel = in.U8() % 10;
    Block* info = NewBlock(s, 64);
    std::memset(info->memory, 0, info->bytes);
    r->Information = (in.U8() & 7) ? info->memory : nullptr;
    if (r->nLevel == GET_HOST_CONFIG_ROM) {
        auto* rom = reinterpret_cast<GET_LOCAL_HOST_INFO5*>(info->memory);
        rom->ConfigRomLength = in.U16() % 2048;
        rom->ConfigRom = (in.U8() & 3) ? NewBlock(s, rom->ConfigRomLength)->memory : nullptr;
    }
    if (r->nLevel == GET_HOST_CSR_CONTENTS) {
        auto* csr = reinterpret_cast<GET_LOCAL_HOST_INFO6*>(info->memory);
        csr->CsrBaseAddress.Off_High = 0xFFFF;
        csr->CsrBaseAddress.Off_Low = (in.U8() & 1) ? 0xF0001000 : (in.U8() & 1) ? 0xF0002000 : in.U32();
        csr->CsrDataLength = in.U16() % 4096;
        csr->CsrDataBuffer = (in.U8() & 3) ? NewBlock(s, csr->CsrDataLength)->memory : nullptr;
    }
}

void FillConfiguration(Session& s, kxfuzz::Input& in, IRB_REQ_GET_CONFIGURATION_INFORMATION* r) {
    if (in.U8() & 1) return;  // sizes only
    auto buffer = [&](ULONG* size) -> PVOID {
        *size = in.U8() & 1 ? in.U16() % 2048 : 0;
        return *size != 0 || (in.U8() & 1) ? NewBlock(s, *size)->memory : nullptr;
    };
    r->ConfigRom = (in.U8() & 3) ? NewBlock(s, 24)->memory : nullptr;
    r->UnitDirectory = buffer(&r->UnitDirectoryBufferSize);
    r->UnitDependentDirectory = buffer(&r->UnitDependentDirectoryBufferSize);
    r->VendorLeaf = static_cast<TEXTUAL_LEAF*>(buffer(&r->VendorLeafBufferSize));
    r->ModelLeaf = static_cast<TEXTUAL_LEAF*>(buffer(&r->ModelLeafBufferSize));
}

// The parameter record of `function` as the input shapes it.
void Fill(Session& s, kxfuzz::Input& in, IRB* irb, const sim::IidcCamera* camera) {
    auto& u = irb->u;
    switch (irb->FunctionNumber) {
    case REQUEST_ASYNC_READ:
    case REQUEST_ASYNC_WRITE:
        SetOffset(&u.AsyncRead.DestinationAddress.IA_Destination_Offset, in, camera);
        u.AsyncRead.nNumberOfBytesToRead = (in.U8() & 1) ? 4 : in.U16() % 5000;
        u.AsyncRead.nBlockSize = (in.U8() & 3) ? 0 : in.U16() % 2100;
        u.AsyncRead.fulFlags = in.U8() & 0xF;
        u.AsyncRead.Mdl = NewMdl(s, in);
        u.AsyncRead.ulGeneration = PickGeneration(in);
        u.AsyncRead.nSpeed = in.U8();
        u.AsyncRead.tCode = in.U8();
        break;
    case REQUEST_ASYNC_LOCK: {
        SetOffset(&u.AsyncLock.DestinationAddress.IA_Destination_Offset, in, camera);
        u.AsyncLock.nNumberOfArgBytes = in.U8() % 12;
        u.AsyncLock.nNumberOfDataBytes = in.U8() % 12;
        u.AsyncLock.fulTransactionType = in.U8() % 8;
        u.AsyncLock.fulFlags = in.U8();
        for (ULONG& a : u.AsyncLock.Arguments) a = in.U32();
        for (ULONG& d : u.AsyncLock.DataValues) d = in.U32();
        u.AsyncLock.pBuffer = (in.U8() & 7) ? NewBlock(s, 8)->memory : nullptr;
        u.AsyncLock.ulGeneration = PickGeneration(in);
        break;
    }
    case REQUEST_ASYNC_STREAM:
        u.AsyncStream.nNumberOfBytesToStream = (in.U8() & 1) ? in.U16() % 5000 : 4u * (in.U8() % 64);
        u.AsyncStream.fulFlags = in.U8();
        u.AsyncStream.Mdl = NewMdl(s, in);
        u.AsyncStream.ulTag = in.U8() % 5;
        u.AsyncStream.nChannel = in.U8() % 70;
        u.AsyncStream.ulSynch = in.U8() % 18;
        u.AsyncStream.nSpeed = UCHAR(PickSpeed(in));
        break;
    case REQUEST_ISOCH_ALLOCATE_BANDWIDTH:
        u.IsochAllocateBandwidth.nMaxBytesPerFrameRequested = (in.U8() & 1) ? in.U16() % 5000 : in.U32();
        u.IsochAllocateBandwidth.fulSpeed = PickSpeed(in);
        break;
    case REQUEST_ISOCH_ALLOCATE_CHANNEL:
        u.IsochAllocateChannel.nRequestedChannel = (in.U8() & 1) ? ISOCH_ANY_CHANNEL : in.U8() % 70;
        break;
    case REQUEST_ISOCH_ALLOCATE_RESOURCES:
        u.IsochAllocateResources.fulSpeed = PickSpeed(in);
        u.IsochAllocateResources.fulFlags = in.U16() & 0x1FF;
        u.IsochAllocateResources.nChannel = in.U8() % 70;
        u.IsochAllocateResources.nMaxBytesPerFrame = in.U16() % 5000;
        u.IsochAllocateResources.nNumberOfBuffers = in.U8() % 40;
        u.IsochAllocateResources.nMaxBufferSize = (in.U8() & 1) ? in.U16() : in.U32() % (1u << 22);
        u.IsochAllocateResources.nQuadletsToStrip = in.U8() % 4;
        u.IsochAllocateResources.ChannelMask.QuadPart = in.U64();
        break;
    case REQUEST_ISOCH_ATTACH_BUFFERS: FillAttach(s, in, &u.IsochAttachBuffers, false); break;
    case REQUEST_ISOCH_DETACH_BUFFERS: FillAttach(s, in, &u.IsochDetachBuffers, true); break;
    case REQUEST_ISOCH_FREE_BANDWIDTH: u.IsochFreeBandwidth.hBandwidth = PickHandle(in, s.bandwidths); break;
    case REQUEST_ISOCH_FREE_CHANNEL: {
        // A channel the input holds, or one past 63: channels carry no handle, and a class driver
        // that frees another's channel takes it from its owner.
        uint8_t pick = in.U8();
        u.IsochFreeChannel.nChannel = !s.channels.empty() && pick < 0xE0 ? s.channels[pick % s.channels.size()]
                                                                         : 64 + pick % 8;
        break;
    }
    case REQUEST_ISOCH_FREE_RESOURCES: u.IsochFreeResources.hResource = PickHandle(in, s.resources); break;
    case REQUEST_ISOCH_LISTEN:
        u.IsochListen.hResource = PickHandle(in, s.resources);
        u.IsochListen.fulFlags = in.U8();
        u.IsochListen.StartTime = in.U32();
        break;
    case REQUEST_ISOCH_STOP:
    case REQUEST_ISOCH_TALK:
        u.IsochStop.hResource = PickHandle(in, s.resources);
        u.IsochStop.fulFlags = in.U8();
        break;
    case REQUEST_ISOCH_QUERY_RESOURCES: u.IsochQueryResources.fulSpeed = PickSpeed(in); break;
    case REQUEST_ISOCH_SET_CHANNEL_BANDWIDTH:
        u.IsochSetChannelBandwidth.hBandwidth = PickHandle(in, s.bandwidths);
        u.IsochSetChannelBandwidth.nMaxBytesPerFrame = in.U16() % 5000;
        break;
    case REQUEST_ALLOCATE_ADDRESS_RANGE: FillAllocateRange(s, in, &u.AllocateAddressRange); break;
    case REQUEST_FREE_ADDRESS_RANGE: FillFreeRange(s, in, &u.FreeAddressRange); break;
    case REQUEST_GET_LOCAL_HOST_INFO: FillHostInfo(s, in, &u.GetLocalHostInformation); break;
    case REQUEST_GET_ADDR_FROM_DEVICE_OBJECT: u.Get1394AddressFromDeviceObject.fulFlags = in.U8() & 3; break;
    case REQUEST_GET_SPEED_BETWEEN_DEVICES: {
        auto& r = u.GetMaxSpeedBetweenDevices;
        r.fulFlags = in.U8() & 3;
        r.ulNumberOfDestinations = in.U8() % 70;
        std::vector<PDEVICE_OBJECT> devices = hk::pnp::Children(kxfuzz::DriverOnBus::Get().pdo);
        devices.push_back(kxfuzz::DriverOnBus::Get().fdo);
        devices.push_back(nullptr);
        for (ULONG i = 0; i < 64; ++i) r.hDestinationDeviceObjects[i] = devices[in.U8() % devices.size()];
        break;
    }
    case REQUEST_SET_DEVICE_XMIT_PROPERTIES:
        u.SetDeviceXmitProperties.fulSpeed = PickSpeed(in);
        u.SetDeviceXmitProperties.fulPriority = in.U8();
        break;
    case REQUEST_GET_CONFIGURATION_INFO: FillConfiguration(s, in, &u.GetConfigurationInformation); break;
    case REQUEST_BUS_RESET: u.BusReset.fulFlags = in.U8() & 3; break;
    case REQUEST_SEND_PHY_CONFIGURATION_PACKET: {
        // No force-root bit and no remote command: the bus would stay changed for the next inputs.
        ULONG quadlet = in.U32() & ~0x00800000u;
        if ((quadlet & 0xC0C00000u) == 0 && ((quadlet >> 18) & 0xF) == 0x8) quadlet &= ~(0xFu << 18);
        u.SendPhyConfigurationPacket.PhyConfigurationPacket = quadlet;
        break;
    }
    case REQUEST_BUS_RESET_NOTIFICATION: {
        uint8_t pick = in.U8();
        u.BusResetNotification.fulFlags = pick & 7;
        u.BusResetNotification.ResetRoutine = (pick & 0x80) ? nullptr : ResetNotice;
        u.BusResetNotification.ResetContext = reinterpret_cast<PVOID>(ULONG_PTR(1 + (pick >> 3) % 4));
        break;
    }
    case REQUEST_SET_LOCAL_HOST_PROPERTIES: {
        u.SetLocalHostProperties.nLevel = in.U8() % 4;
        Block* value = NewBlock(s, 16);
        ULONG gap = in.U8();
        std::memcpy(value->memory, &gap, 4);
        u.SetLocalHostProperties.Information = (in.U8() & 7) ? value->memory : nullptr;
        break;
    }
    case REQUEST_ISOCH_QUERY_CYCLE_TIME:
    case REQUEST_CONTROL:
    case REQUEST_GET_GENERATION_COUNT:
    case REQUEST_GET_SPEED_TOPOLOGY_MAPS:
    default: break;  // nothing to fill, or no row here: a zeroed record
    }
}

// Notes what a request that succeeded obtained, for the rest of the input and its end.
void Keep(Session& s, const IRB& irb) {
    const auto& u = irb.u;
    switch (irb.FunctionNumber) {
    case REQUEST_ISOCH_ALLOCATE_BANDWIDTH: s.bandwidths.push_back(u.IsochAllocateBandwidth.hBandwidth); break;
    case REQUEST_ISOCH_ALLOCATE_CHANNEL: s.channels.push_back(u.IsochAllocateChannel.Channel); break;
    case REQUEST_ISOCH_ALLOCATE_RESOURCES: s.resources.push_back(u.IsochAllocateResources.hResource); break;
    case REQUEST_ALLOCATE_ADDRESS_RANGE: s.ranges.push_back(u.AllocateAddressRange.hAddressRange); break;
    case REQUEST_BUS_RESET_NOTIFICATION:
        if (u.BusResetNotification.fulFlags & REGISTER_NOTIFICATION_ROUTINE)
            s.notifications.push_back({u.BusResetNotification.ResetContext,
                                       (u.BusResetNotification.fulFlags & EXTENDED_NOTIFICATION_ROUTINE) != 0});
        break;
    case REQUEST_GET_LOCAL_HOST_INFO:
        if (u.GetLocalHostInformation.nLevel == GET_PHYS_ADDR_ROUTINE) {
            auto* info = static_cast<GET_LOCAL_HOST_INFO4*>(u.GetLocalHostInformation.Information);
            s.mapping = info->PhysAddrMappingRoutine;
            s.mappingContext = info->Context;
        }
        break;
    default: break;
    }
}

// Sends one IRB down to the child and waits for it; at raised IRQL when `raised`.
NTSTATUS Send(IRB* irb, bool raised) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_1394_CLASS, g_child, nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
    KXF_CHECK(irp != nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = irb;
    KIRQL old = PASSIVE_LEVEL;
    if (raised) KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = IoCallDriver(g_child, irp);
    if (raised) KeLowerIrql(old);
    if (status == STATUS_PENDING) {
        KXF_CHECK(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS);
        status = ioStatus.Status;
    }
    KXF_CHECK(status != STATUS_PENDING);
    return status;
}

IRB* NewIrb(Session& s, ULONG function) {
    auto* irb = reinterpret_cast<IRB*>(NewBlock(s, sizeof(IRB))->memory);
    std::memset(irb, 0, sizeof(IRB));
    irb->FunctionNumber = function;
    return irb;
}

// The peer's traffic into what the input obtained: isochronous packets and requests to ranges.
void PeerTraffic(Session& s, kxfuzz::Input& in, uint16_t controller) {
    if (in.U8() & 1) {
        for (int i = 0, n = 1 + in.U8() % 8; i < n; ++i) {
            sim::IsoPacket packet;
            packet.channel = !s.channels.empty() && (in.U8() & 1) ? uint8_t(s.channels[0] & 0x3F) : in.U8() % 64;
            packet.tag = in.U8() & 3;
            packet.sy = in.U8() & 0xF;
            packet.speed = sim::kS400;
            packet.data.assign(in.U16() % 3000, uint8_t(i));
            g_peer->Talk(std::move(packet));
        }
        return;
    }
    sim::Packet p;
    static const uint8_t kTcodes[] = {0, 1, 4, 5, 9};
    uint8_t tcode = kTcodes[in.U8() % 5];
    p.SetTcode(tcode);
    p.SetTlabel(in.U8());
    p.SetRetry(1);
    p.SetOffset((ULONGLONG(1 + in.U8() % 3) << 32) | (in.U32() & ~3u));
    uint16_t length = uint16_t((in.U8() & 1) ? 4 * (1 + in.U8() % 32) : in.U16() % 2100);
    if (tcode == 9) length = uint16_t(4 * (1 + in.U8() % 4));
    if (tcode == 1 || tcode == 5 || tcode == 9)
        p.SetDataLengthAndExtendedTcode(length, uint16_t(tcode == 9 ? 1 + in.U8() % 6 : 0));
    if (tcode == 1 || tcode == 9) p.data.assign(length, 0x77);
    if (tcode == 0) p.header[3] = in.U32();
    (void)g_peer->Send(p, controller);
}

kxfuzz::DriverOnBus& Setup() {
    static bool done = false;
    kxfuzz::BusSetup setup;
    setup.description = "node pc controller\nnode cam camera guid=0x00ACDE4800000001\nconnect pc.0 cam.0\n";
    setup.addNodes = [](kxfuzz::DriverOnBus& d) { g_peer = d.Join(std::make_unique<kxfuzz::PeerNode>(), 1); };
    kxfuzz::DriverOnBus& d = kxfuzz::DriverOnBus::Get(setup);
    if (done) return d;
    done = true;
    hk::RunFor(300 * kMs);
    hk::pnp::Process();
    hk::RunFor(10 * kMs);
    for (PDEVICE_OBJECT child : hk::pnp::Children(d.pdo)) {
        const DeviceRecord* record = ChildExtension(child)->Record;
        if (record != nullptr && record->UnitKind == kUnitIidcCamera) g_child = child;
    }
    KXF_CHECK(g_child != nullptr);
    g_baselinePackets = hk::mm::TagCount(kTagAsyncPacket);
    for (ULONG i = 0; i < kBusListCount; ++i) g_baselineBusTags[i] = hk::mm::TagCount(BusListTag(i));
    g_baselineCsr = d.Controller()->LocalCsr;
    return d;
}

// Frees what the input obtained, through the interface.
void FreeEverything(Session& s) {
    for (HANDLE h : s.resources) {
        IRB* irb = NewIrb(s, REQUEST_ISOCH_FREE_RESOURCES);
        irb->u.IsochFreeResources.hResource = h;
        (void)Send(irb, false);
    }
    for (HANDLE h : s.bandwidths) {
        IRB* irb = NewIrb(s, REQUEST_ISOCH_FREE_BANDWIDTH);
        irb->u.IsochFreeBandwidth.hBandwidth = h;
        (void)Send(irb, false);
    }
    for (ULONG c : s.channels) {
        IRB* irb = NewIrb(s, REQUEST_ISOCH_FREE_CHANNEL);
        irb->u.IsochFreeChannel.nChannel = c;
        (void)Send(irb, false);
    }
    for (HANDLE& h : s.ranges) {
        IRB* irb = NewIrb(s, REQUEST_FREE_ADDRESS_RANGE);
        irb->u.FreeAddressRange.nAddressesToFree = 1;
        irb->u.FreeAddressRange.pAddressRange = &h;
        irb->u.FreeAddressRange.p1394AddressRange = reinterpret_cast<ADDRESS_RANGE*>(NewBlock(s, 64)->memory);
        (void)Send(irb, false);
    }
    for (const auto& [context, extended] : s.notifications) {
        IRB* irb = NewIrb(s, REQUEST_BUS_RESET_NOTIFICATION);
        irb->u.BusResetNotification.fulFlags = DEREGISTER_NOTIFICATION_ROUTINE;
        irb->u.BusResetNotification.ResetRoutine = ResetNotice;
        irb->u.BusResetNotification.ResetContext = context;
        (void)Send(irb, false);
        (void)extended;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kxfuzz::DriverOnBus& d = Setup();
    kxfuzz::Input in(data, size);
    auto* camera = static_cast<sim::IidcCamera*>(d.nodes.at("cam"));
    const uint16_t controllerId = uint16_t(0xFFC0 | d.sim->controller->phy().phyId);
    g_peer->Reset();
    Session s;
    g_session = &s;
    s.response = NewBlock(s, 64)->memory;

    for (int step = 0; step < 12 && !in.Empty(); ++step) {
        uint8_t op = in.U8();
        switch (op % 8) {
        default: {  // a request of any function
            ULONG function = (op & 0x80) ? in.U8() % kFunctions : in.U8() % 32;
            IRB* irb = NewIrb(s, function);
            irb->Flags = in.U8() == 0xFF ? in.U32() : 0;
            Fill(s, in, irb, camera);
            NTSTATUS status = Send(irb, (op & 0x40) != 0);
            if (NT_SUCCESS(status)) Keep(s, *irb);
            break;
        }
        case 5:  // the physical-mapping routine, called as a class driver may (raised IRQL)
            if (s.mapping != nullptr) {
                IRB* irb = NewIrb(s, (op & 0x10) ? REQUEST_FREE_ADDRESS_RANGE : REQUEST_ALLOCATE_ADDRESS_RANGE);
                if (irb->FunctionNumber == REQUEST_ALLOCATE_ADDRESS_RANGE) {
                    FillAllocateRange(s, in, &irb->u.AllocateAddressRange);
                    irb->u.AllocateAddressRange.Callback = reinterpret_cast<PVOID>(AllocationDone);
                } else {
                    FillFreeRange(s, in, &irb->u.FreeAddressRange);
                }
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                NTSTATUS status = s.mapping(s.mappingContext, irb);
                KeLowerIrql(old);
                if (NT_SUCCESS(status)) Keep(s, *irb);
            }
            break;
        case 6:
            PeerTraffic(s, in, controllerId);
            hk::RunFor(ULONGLONG(1 + in.U8() % 20) * kMs / 4);
            break;
        case 7:
            if (op & 0x10) d.sim->bus.RequestReset((op & 0x20) != 0);
            hk::RunFor(ULONGLONG(in.U8()) * kMs / 8);
            break;
        }
    }

    hk::RunFor(2 * kMs);
    g_peer->Reset();
    d.RestoreSplitTimeout();
    FreeEverything(s);
    // Resets settle, enumeration and the bus thread's pass end, requests end.
    OhciController* c = d.Controller();
    auto quiet = [&d, c] {
        return !d.sim->bus.InReset() && c->BusResetActive == 0 && c->BusEventCount == 0 &&
               KeReadStateEvent(&c->EnumerationDone) == 1 && IsListEmpty(&c->PendingList) &&
               hk::mm::TagCount(kTagAsyncPacket) == g_baselinePackets;
    };
    hk::RunFor(5 * kMs);
    (void)kxfuzz::DriverOnBus::RunUntil(quiet, 1000 * kMs, 5 * kMs);
    hk::pnp::Process();
    hk::RunFor(5 * kMs);

    for (const Descriptors& descriptors : s.descriptors)
        for (ULONG i = 0; i < descriptors.count; ++i) KXF_CHECK(descriptors.calls[i] <= 1);
    OhciController* controller = d.Controller();
    ChildDeviceExtension* child = ChildExtension(g_child);
    KXF_CHECK(child->IsochResource == nullptr);
    KXF_CHECK(IsListEmpty(&controller->ClassBandwidthList));
    KXF_CHECK(IsListEmpty(&controller->ClassNotificationList));
    KXF_CHECK(IsListEmpty(&controller->ClassRangeList));
    KXF_CHECK(hk::mm::TagCount(kTagAsyncPacket) == g_baselinePackets);
    for (ULONG i = 0; i < kBusListCount; ++i) KXF_CHECK(hk::mm::TagCount(BusListTag(i)) == g_baselineBusTags[i]);
    KXF_CHECK(controller->LocalCsr.BandwidthAvailable == g_baselineCsr.BandwidthAvailable);
    KXF_CHECK(controller->LocalCsr.ChannelsAvailableHi == g_baselineCsr.ChannelsAvailableHi);
    KXF_CHECK(controller->LocalCsr.ChannelsAvailableLo == g_baselineCsr.ChannelsAvailableLo);
    KXF_CHECK(hk::mm::BusFaults().empty());
    g_session = nullptr;
    for (Block& b : s.blocks) {
        IoFreeMdl(b.mdl);
        ExFreePoolWithTag(b.memory, kHarnessTag);
    }
    d.CheckConsistent();
    hk::dbg::Clear();
    return 0;
}
