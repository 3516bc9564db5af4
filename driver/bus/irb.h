// The IEEE 1394 class request interface of Windows as a driver on a child device sees it: the
// control code, the IRB (I/O request block) with its function numbers and the parameter records
// this bus driver serves. Laid out as Microsoft documents the interface for kernel-mode 1394
// client drivers (natural alignment, pointers of the build's width); written from that
// documentation, not from a shipped header, and pinned by the static_asserts below for 64-bit and
// 32-bit builds. Node addresses are kept as one 16-bit value (bus number 15:6, node number 5:0).
#pragma once

#include "kxplatform.h"

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x87, METHOD_IN_DIRECT, FILE_ANY_ACCESS)
constexpr ULONG IOCTL_1394_CLASS = 0x0022021D;
// This driver's own internal control code: read (1000) or clear (1001) the asynchronous statistics.
constexpr ULONG IOCTL_CLASS_STATISTICS = 0x0022421D;
constexpr ULONG kStatisticsRead = 1000;
constexpr ULONG kStatisticsClear = 1001;

enum IrbFunction : ULONG {
    REQUEST_ASYNC_READ = 0,
    REQUEST_ASYNC_WRITE = 1,
    REQUEST_ASYNC_LOCK = 2,
    REQUEST_ISOCH_ALLOCATE_BANDWIDTH = 3,
    REQUEST_ISOCH_ALLOCATE_CHANNEL = 4,
    REQUEST_ISOCH_ALLOCATE_RESOURCES = 5,
    REQUEST_ISOCH_ATTACH_BUFFERS = 6,
    REQUEST_ISOCH_DETACH_BUFFERS = 7,
    REQUEST_ISOCH_FREE_BANDWIDTH = 8,
    REQUEST_ISOCH_FREE_CHANNEL = 9,
    REQUEST_ISOCH_FREE_RESOURCES = 10,
    REQUEST_ISOCH_LISTEN = 11,
    REQUEST_ISOCH_STOP = 12,
    REQUEST_ISOCH_TALK = 13,
    REQUEST_ISOCH_QUERY_CYCLE_TIME = 14,
    REQUEST_ISOCH_QUERY_RESOURCES = 15,
    REQUEST_ISOCH_SET_CHANNEL_BANDWIDTH = 16,
    REQUEST_ALLOCATE_ADDRESS_RANGE = 17,
    REQUEST_FREE_ADDRESS_RANGE = 18,
    REQUEST_GET_LOCAL_HOST_INFO = 19,
    REQUEST_GET_ADDR_FROM_DEVICE_OBJECT = 20,
    REQUEST_CONTROL = 21,
    REQUEST_GET_SPEED_BETWEEN_DEVICES = 22,
    REQUEST_SET_DEVICE_XMIT_PROPERTIES = 23,
    REQUEST_GET_CONFIGURATION_INFO = 24,
    REQUEST_BUS_RESET = 25,
    REQUEST_GET_GENERATION_COUNT = 26,
    REQUEST_SEND_PHY_CONFIGURATION_PACKET = 27,
    REQUEST_GET_SPEED_TOPOLOGY_MAPS = 28,
    REQUEST_BUS_RESET_NOTIFICATION = 29,
    REQUEST_ASYNC_STREAM = 30,
    REQUEST_SET_LOCAL_HOST_PROPERTIES = 31,
};

// Speed flags of the interface.
constexpr ULONG SPEED_FLAGS_100 = 0x01;
constexpr ULONG SPEED_FLAGS_200 = 0x02;
constexpr ULONG SPEED_FLAGS_400 = 0x04;
constexpr ULONG SPEED_FLAGS_800 = 0x08;
constexpr ULONG SPEED_FLAGS_1600 = 0x10;
constexpr ULONG SPEED_FLAGS_3200 = 0x20;

// The driver's speed codes 0 (S100) to 5 (S3200) from the interface's speed flags: SpeedCodeOfFlag
// (async/class_async.h).
inline ULONG SpeedFlagFromCode(ULONG code) { return code <= 5 ? 1u << code : SPEED_FLAGS_100; }

constexpr ULONG USE_LOCAL_NODE = 0x1;
constexpr ULONG BUS_RESET_FLAGS_FORCE_ROOT = 0x2;
constexpr ULONG REGISTER_NOTIFICATION_ROUTINE = 0x1;
constexpr ULONG DEREGISTER_NOTIFICATION_ROUTINE = 0x2;
constexpr ULONG EXTENDED_NOTIFICATION_ROUTINE = 0x4;

constexpr ULONG GET_HOST_UNIQUE_ID = 1;
constexpr ULONG GET_HOST_CAPABILITIES = 2;
constexpr ULONG GET_POWER_SUPPLIED = 3;
constexpr ULONG GET_PHYS_ADDR_ROUTINE = 4;
constexpr ULONG GET_HOST_CONFIG_ROM = 5;
constexpr ULONG GET_HOST_CSR_CONTENTS = 6;
constexpr ULONG GET_HOST_DMA_CAPABILITIES = 7;
constexpr ULONG GET_HOST_DDI_VERSION = 8;

constexpr ULONG ISOCH_ANY_CHANNEL = 0xFFFFFFFF;

// REQUEST_ISOCH_ALLOCATE_RESOURCES fulFlags.
constexpr ULONG RESOURCE_USED_IN_LISTENING = 0x001;
constexpr ULONG RESOURCE_USED_IN_TALKING = 0x002;
constexpr ULONG RESOURCE_BUFFERS_CIRCULAR = 0x004;
constexpr ULONG RESOURCE_STRIP_ADDITIONAL_QUADLETS = 0x008;
constexpr ULONG RESOURCE_TIME_STAMP_ON_COMPLETION = 0x010;
constexpr ULONG RESOURCE_SYNCH_ON_TIME = 0x020;
constexpr ULONG RESOURCE_USE_PACKET_BASED = 0x040;
constexpr ULONG RESOURCE_VARIABLE_ISOCH_PAYLOAD = 0x080;
constexpr ULONG RESOURCE_USE_MULTICHANNEL = 0x100;

// ISOCH_DESCRIPTOR fulFlags.
constexpr ULONG DESCRIPTOR_SYNCH_ON_SY = 0x01;
constexpr ULONG DESCRIPTOR_SYNCH_ON_TAG = 0x02;
constexpr ULONG DESCRIPTOR_SYNCH_ON_TIME = 0x04;
constexpr ULONG DESCRIPTOR_USE_SY_TAG_IN_FIRST = 0x08;
constexpr ULONG DESCRIPTOR_TIME_STAMP_ON_COMPLETION = 0x10;

// A CYCLE_TIME is one 32-bit value: cycle offset 11:0, cycle count 24:12, seconds 31:25. Bits 26:12
// (two bits of seconds and the cycle count) are the cycle an OHCI receive context can match.
inline ULONG CycleTimeMatchField(ULONG cycleTime) { return (cycleTime >> 12) & 0x7FFF; }
// Address ranges: access types, notification options and flags.
constexpr ULONG ACCESS_FLAGS_TYPE_READ = 0x1;
constexpr ULONG ACCESS_FLAGS_TYPE_WRITE = 0x2;
constexpr ULONG ACCESS_FLAGS_TYPE_LOCK = 0x4;
constexpr ULONG ACCESS_FLAGS_TYPE_BROADCAST = 0x8;  // requests from any source node
constexpr ULONG NOTIFY_FLAGS_NEVER = 0x0;
constexpr ULONG NOTIFY_FLAGS_AFTER_READ = 0x1;
constexpr ULONG NOTIFY_FLAGS_AFTER_WRITE = 0x2;
constexpr ULONG NOTIFY_FLAGS_AFTER_LOCK = 0x4;
constexpr ULONG BIG_ENDIAN_ADDRESS_RANGE = 0x1;

// An element of a FIFO address range: the caller's buffer, taken for one incoming request. Its
// list entry keeps the alignment interlocked lists need, so it stays outside the packing below.
struct ADDRESS_FIFO {
    SLIST_ENTRY FifoList;
    PMDL FifoMdl;
};

#pragma pack(push, 8)

struct ADDRESS_OFFSET {
    USHORT Off_High;
    ULONG Off_Low;
};

struct IO_ADDRESS {
    USHORT IA_Destination_ID;  // NODE_ADDRESS: NA_Bus_Number 15:6, NA_Node_Number 5:0
    ADDRESS_OFFSET IA_Destination_Offset;
};

struct IRB_REQ_ASYNC_READ {
    IO_ADDRESS DestinationAddress;
    ULONG nNumberOfBytesToRead;
    ULONG nBlockSize;
    ULONG fulFlags;
    PMDL Mdl;
    ULONG ulGeneration;
    UCHAR chPriority;
    UCHAR nSpeed;
    UCHAR tCode;
    UCHAR Reserved;
    ULONG ElapsedTime;
};

struct IRB_REQ_ASYNC_WRITE {
    IO_ADDRESS DestinationAddress;
    ULONG nNumberOfBytesToWrite;
    ULONG nBlockSize;
    ULONG fulFlags;
    PMDL Mdl;
    ULONG ulGeneration;
    UCHAR chPriority;
    UCHAR nSpeed;
    UCHAR tCode;
    UCHAR Reserved;
    ULONG ElapsedTime;
};

struct IRB_REQ_ASYNC_STREAM {
    ULONG nNumberOfBytesToStream;
    ULONG fulFlags;
    PMDL Mdl;
    ULONG ulTag;
    ULONG nChannel;
    ULONG ulSynch;
    ULONG Reserved;
    UCHAR nSpeed;
};

struct IRB_REQ_ASYNC_LOCK {
    IO_ADDRESS DestinationAddress;
    ULONG nNumberOfArgBytes;
    ULONG nNumberOfDataBytes;
    ULONG fulTransactionType;
    ULONG fulFlags;
    ULONG Arguments[2];
    ULONG DataValues[2];
    PVOID pBuffer;
    ULONG ulGeneration;
    UCHAR chPriority;
    UCHAR nSpeed;
    UCHAR tCode;
    UCHAR Reserved;
    ULONG ElapsedTime;
};

struct IRB_REQ_ISOCH_ALLOCATE_BANDWIDTH {
    ULONG nMaxBytesPerFrameRequested;
    ULONG fulSpeed;
    HANDLE hBandwidth;
    ULONG BytesPerFrameAvailable;
    ULONG SpeedSelected;
    ULONG nBandwidthUnitsRequired;
};

struct IRB_REQ_ISOCH_ALLOCATE_CHANNEL {
    ULONG nRequestedChannel;
    ULONG Channel;
    LARGE_INTEGER ChannelsAvailable;
};

struct IRB_REQ_ISOCH_FREE_BANDWIDTH {
    HANDLE hBandwidth;
};

struct IRB_REQ_ISOCH_FREE_CHANNEL {
    ULONG nChannel;
};

struct IRB_REQ_ISOCH_QUERY_CYCLE_TIME {
    ULONG CycleTime;
};

// Called when an attached buffer completes.
typedef void (*PBUS_ISOCH_DESCRIPTOR_ROUTINE)(PVOID Context1, PVOID Context2);

// One buffer of an isochronous resource, described by its MDL; the bus driver writes `status`
// (and CycleTime with DESCRIPTOR_TIME_STAMP_ON_COMPLETION) before it calls Callback.
struct ISOCH_DESCRIPTOR {
    ULONG fulFlags;
    PMDL Mdl;
    ULONG ulLength;
    ULONG nMaxBytesPerFrame;
    ULONG ulSynch;
    ULONG ulTag;
    ULONG CycleTime;
    PBUS_ISOCH_DESCRIPTOR_ROUTINE Callback;
    PVOID Context1;
    PVOID Context2;
    NTSTATUS status;
    ULONG_PTR DeviceReserved[8];
    ULONG_PTR BusReserved[8];
    ULONG_PTR PortReserved[16];
};

struct IRB_REQ_ISOCH_ALLOCATE_RESOURCES {
    ULONG fulSpeed;
    ULONG fulFlags;
    ULONG nChannel;
    ULONG nMaxBytesPerFrame;
    ULONG nNumberOfBuffers;
    ULONG nMaxBufferSize;
    ULONG nQuadletsToStrip;
    HANDLE hResource;
    ULARGE_INTEGER ChannelMask;
};

// ATTACH_BUFFERS and DETACH_BUFFERS share this record.
struct IRB_REQ_ISOCH_ATTACH_BUFFERS {
    HANDLE hResource;
    ULONG nNumberOfDescriptors;
    ISOCH_DESCRIPTOR* pIsochDescriptor;
};
typedef IRB_REQ_ISOCH_ATTACH_BUFFERS IRB_REQ_ISOCH_DETACH_BUFFERS;

struct IRB_REQ_ISOCH_FREE_RESOURCES {
    HANDLE hResource;
};

struct IRB_REQ_ISOCH_LISTEN {
    HANDLE hResource;
    ULONG fulFlags;
    ULONG StartTime;  // CYCLE_TIME
};

struct IRB_REQ_ISOCH_STOP {
    HANDLE hResource;
    ULONG fulFlags;
};

struct IRB_REQ_ISOCH_QUERY_RESOURCES {
    ULONG fulSpeed;
    ULONG BytesPerFrameAvailable;
    LARGE_INTEGER ChannelsAvailable;
};

struct IRB_REQ_ISOCH_SET_CHANNEL_BANDWIDTH {
    HANDLE hBandwidth;
    ULONG nMaxBytesPerFrame;
    ULONG nBandwidthUnitsRequired;
};

struct IRB_REQ_GET_LOCAL_HOST_INFORMATION {
    ULONG nLevel;
    PVOID Information;
};

struct IRB_REQ_GET_ADDR_FROM_DEVICE_OBJECT {
    ULONG fulFlags;
    USHORT NodeAddress;
};

struct IRB_REQ_GET_SPEED_BETWEEN_DEVICES {
    ULONG fulFlags;
    ULONG ulNumberOfDestinations;
    PDEVICE_OBJECT hDestinationDeviceObjects[64];
    ULONG fulSpeed;
};

struct TEXTUAL_LEAF {
    USHORT TL_CRC;
    USHORT TL_Length;
    ULONG TL_Spec_Id;
    ULONG TL_Language_Id;
    UCHAR TL_Data;
};

struct IRB_REQ_SET_DEVICE_XMIT_PROPERTIES {
    ULONG fulSpeed;
    ULONG fulPriority;
};

struct IRB_REQ_GET_CONFIGURATION_INFORMATION {
    PVOID ConfigRom;  // six quadlets: bus information block and root directory header, bus order
    ULONG UnitDirectoryBufferSize;
    PVOID UnitDirectory;
    IO_ADDRESS UnitDirectoryLocation;
    ULONG UnitDependentDirectoryBufferSize;
    PVOID UnitDependentDirectory;
    IO_ADDRESS UnitDependentDirectoryLocation;
    ULONG VendorLeafBufferSize;
    TEXTUAL_LEAF* VendorLeaf;
    ULONG ModelLeafBufferSize;
    TEXTUAL_LEAF* ModelLeaf;
};

struct IRB_REQ_BUS_RESET {
    ULONG fulFlags;
};

struct IRB_REQ_GET_GENERATION_COUNT {
    ULONG GenerationCount;
};

struct IRB_REQ_SEND_PHY_CONFIGURATION_PACKET {
    ULONG PhyConfigurationPacket;
};

typedef void (*PBUS_BUS_RESET_NOTIFICATION)(PVOID Context);

struct IRB_REQ_BUS_RESET_NOTIFICATION {
    ULONG fulFlags;
    PBUS_BUS_RESET_NOTIFICATION ResetRoutine;
    PVOID ResetContext;
};

// What an extended bus-reset notification routine receives.
struct BUS_RESET_NOTIFICATION_INFO {
    PVOID ResetContext;
    ULONG GenerationCount;
    USHORT DeviceNodeId;
    USHORT LocalNodeId;
    UCHAR SpeedCode;
};

struct IRB_REQ_SET_LOCAL_HOST_PROPERTIES {
    ULONG nLevel;
    PVOID Information;
};

struct GET_LOCAL_HOST_INFO1 {
    LARGE_INTEGER UniqueId;
};
struct GET_LOCAL_HOST_INFO2 {
    ULONG HostCapabilities;
    ULONG MaxAsyncReadRequest;
    ULONG MaxAsyncWriteRequest;
};
struct GET_LOCAL_HOST_INFO5 {
    PVOID ConfigRom;
    ULONG ConfigRomLength;
};
struct GET_LOCAL_HOST_INFO6 {
    ADDRESS_OFFSET CsrBaseAddress;
    ULONG CsrDataLength;
    PUCHAR CsrDataBuffer;
};
struct GET_LOCAL_HOST_INFO7 {
    ULONG HostDmaCapabilities;
    ULARGE_INTEGER MaxDmaBufferSize;
};
struct GET_LOCAL_HOST_INFO8 {
    USHORT MajorVersion;
    USHORT MinorVersion;
};

// One piece of an allocated address range.
struct ADDRESS_RANGE {
    USHORT AR_Off_High;
    USHORT AR_Length;
    ULONG AR_Off_Low;
};

// What a range's notification routine receives. ResponsePacket, ResponseLength and ResponseEvent
// point into the bus driver's record: a routine that answers a request itself (a range without
// memory of the caller's) stores its response packet, that packet's length and an event there.
struct NOTIFICATION_INFO {
    PMDL Mdl;
    ULONG ulOffset;
    ULONG nLength;
    ULONG fulNotificationOptions;
    PVOID Context;
    ADDRESS_FIFO* Fifo;
    PVOID RequestPacket;
    PMDL ResponseMdl;
    PVOID* ResponsePacket;
    PULONG ResponseLength;
    PKEVENT* ResponseEvent;
};
typedef void (*PNOTIFICATION_ROUTINE)(NOTIFICATION_INFO* NotificationInfo);
// Called once an allocation made at raised IRQL through the physical-mapping routine is done.
typedef void (*PALLOCATION_COMPLETION_ROUTINE)(PVOID Context);

struct IRB_REQ_ALLOCATE_ADDRESS_RANGE {
    PMDL Mdl;
    ULONG fulFlags;
    ULONG nLength;
    ULONG MaxSegmentSize;
    ULONG fulAccessType;
    ULONG fulNotificationOptions;
    PVOID Callback;
    PVOID Context;
    ADDRESS_OFFSET Required1394Offset;
    PSLIST_HEADER FifoSListHead;
    PKSPIN_LOCK FifoSpinLock;
    ULONG AddressesReturned;
    ADDRESS_RANGE* p1394AddressRange;
    HANDLE hAddressRange;
    PVOID DeviceExtension;
};

struct IRB_REQ_FREE_ADDRESS_RANGE {
    ULONG nAddressesToFree;
    ADDRESS_RANGE* p1394AddressRange;
    PHANDLE pAddressRange;  // the handles of the ranges to free
    PVOID DeviceExtension;
};

struct IRB;
typedef NTSTATUS (*PPORT_PHYS_ADDR_ROUTINE)(PVOID Context, IRB* Irb);
struct GET_LOCAL_HOST_INFO4 {
    PPORT_PHYS_ADDR_ROUTINE PhysAddrMappingRoutine;
    PVOID Context;
};

constexpr ULONG IRB_BUS_RESERVED_SZ = 8;
constexpr ULONG IRB_PORT_RESERVED_SZ = 16;

struct IRB {
    ULONG FunctionNumber;
    ULONG Flags;
    ULONG_PTR BusReserved[IRB_BUS_RESERVED_SZ];
    ULONG_PTR PortReserved[IRB_PORT_RESERVED_SZ];
    union {
        IRB_REQ_ASYNC_READ AsyncRead;
        IRB_REQ_ASYNC_WRITE AsyncWrite;
        IRB_REQ_ASYNC_LOCK AsyncLock;
        IRB_REQ_ASYNC_STREAM AsyncStream;
        IRB_REQ_ISOCH_ALLOCATE_BANDWIDTH IsochAllocateBandwidth;
        IRB_REQ_ISOCH_ALLOCATE_CHANNEL IsochAllocateChannel;
        IRB_REQ_ISOCH_FREE_BANDWIDTH IsochFreeBandwidth;
        IRB_REQ_ISOCH_FREE_CHANNEL IsochFreeChannel;
        IRB_REQ_ISOCH_QUERY_CYCLE_TIME IsochQueryCycleTime;
        IRB_REQ_ISOCH_ALLOCATE_RESOURCES IsochAllocateResources;
        IRB_REQ_ISOCH_ATTACH_BUFFERS IsochAttachBuffers;
        IRB_REQ_ISOCH_DETACH_BUFFERS IsochDetachBuffers;
        IRB_REQ_ISOCH_FREE_RESOURCES IsochFreeResources;
        IRB_REQ_ISOCH_LISTEN IsochListen;
        IRB_REQ_ISOCH_STOP IsochStop;
        IRB_REQ_ISOCH_QUERY_RESOURCES IsochQueryResources;
        IRB_REQ_ISOCH_SET_CHANNEL_BANDWIDTH IsochSetChannelBandwidth;
        IRB_REQ_ALLOCATE_ADDRESS_RANGE AllocateAddressRange;
        IRB_REQ_FREE_ADDRESS_RANGE FreeAddressRange;
        IRB_REQ_GET_LOCAL_HOST_INFORMATION GetLocalHostInformation;
        IRB_REQ_GET_ADDR_FROM_DEVICE_OBJECT Get1394AddressFromDeviceObject;
        IRB_REQ_GET_SPEED_BETWEEN_DEVICES GetMaxSpeedBetweenDevices;
        IRB_REQ_SET_DEVICE_XMIT_PROPERTIES SetDeviceXmitProperties;
        IRB_REQ_GET_CONFIGURATION_INFORMATION GetConfigurationInformation;
        IRB_REQ_BUS_RESET BusReset;
        IRB_REQ_GET_GENERATION_COUNT GetGenerationCount;
        IRB_REQ_SEND_PHY_CONFIGURATION_PACKET SendPhyConfigurationPacket;
        IRB_REQ_BUS_RESET_NOTIFICATION BusResetNotification;
        IRB_REQ_SET_LOCAL_HOST_PROPERTIES SetLocalHostProperties;
    } u;
};

#pragma pack(pop)

// Layout checks: P is the pointer width of the build (8 or 4).
#define KX_IRB_AT(p64, p32) (sizeof(void*) == 8 ? (p64) : (p32))
static_assert(sizeof(IO_ADDRESS) == 12 && offsetof(IO_ADDRESS, IA_Destination_Offset) == 4, "IO_ADDRESS");
static_assert(offsetof(IRB, u) == KX_IRB_AT(0xC8, 0x68), "IRB header: two ULONGs and 24 ULONG_PTRs");
static_assert(offsetof(IRB_REQ_ASYNC_READ, nNumberOfBytesToRead) == 12, "async read");
static_assert(offsetof(IRB_REQ_ASYNC_READ, Mdl) == 24, "async read MDL");
static_assert(offsetof(IRB_REQ_ASYNC_READ, ulGeneration) == KX_IRB_AT(32, 28), "async read generation");
static_assert(offsetof(IRB_REQ_ASYNC_READ, nSpeed) == KX_IRB_AT(37, 33), "async read speed");
static_assert(sizeof(IRB_REQ_ASYNC_READ) == KX_IRB_AT(48, 40), "async read size");
static_assert(sizeof(IRB_REQ_ASYNC_WRITE) == sizeof(IRB_REQ_ASYNC_READ), "async write size");
static_assert(offsetof(IRB_REQ_ASYNC_LOCK, Arguments) == 28 && offsetof(IRB_REQ_ASYNC_LOCK, DataValues) == 36,
              "async lock operands");
static_assert(offsetof(IRB_REQ_ASYNC_LOCK, pBuffer) == KX_IRB_AT(48, 44), "async lock buffer");
static_assert(offsetof(IRB_REQ_ASYNC_LOCK, ulGeneration) == KX_IRB_AT(56, 48), "async lock generation");
static_assert(sizeof(IRB_REQ_ASYNC_LOCK) == KX_IRB_AT(72, 60), "async lock size");
static_assert(offsetof(IRB_REQ_ASYNC_STREAM, ulTag) == KX_IRB_AT(16, 12) &&
                  offsetof(IRB_REQ_ASYNC_STREAM, nSpeed) == KX_IRB_AT(32, 28),
              "async stream");
static_assert(sizeof(IRB_REQ_ASYNC_STREAM) == KX_IRB_AT(40, 32), "async stream size");
static_assert(offsetof(IRB_REQ_ISOCH_ALLOCATE_BANDWIDTH, hBandwidth) == 8, "bandwidth handle");
static_assert(offsetof(IRB_REQ_ISOCH_ALLOCATE_BANDWIDTH, nBandwidthUnitsRequired) == KX_IRB_AT(24, 20),
              "bandwidth units");
static_assert(offsetof(IRB_REQ_ISOCH_ALLOCATE_CHANNEL, ChannelsAvailable) == 8, "channels available");
static_assert(offsetof(ISOCH_DESCRIPTOR, Mdl) == KX_IRB_AT(8, 4), "isoch descriptor MDL");
static_assert(offsetof(ISOCH_DESCRIPTOR, CycleTime) == KX_IRB_AT(32, 24), "isoch descriptor cycle time");
static_assert(offsetof(ISOCH_DESCRIPTOR, Callback) == KX_IRB_AT(40, 28), "isoch descriptor callback");
static_assert(offsetof(ISOCH_DESCRIPTOR, status) == KX_IRB_AT(64, 40), "isoch descriptor status");
static_assert(offsetof(ISOCH_DESCRIPTOR, DeviceReserved) == KX_IRB_AT(72, 44), "isoch descriptor reserved");
static_assert(sizeof(ISOCH_DESCRIPTOR) == KX_IRB_AT(328, 172), "isoch descriptor size");
static_assert(offsetof(IRB_REQ_ISOCH_ALLOCATE_RESOURCES, hResource) == KX_IRB_AT(32, 28), "resource handle");
static_assert(offsetof(IRB_REQ_ISOCH_ALLOCATE_RESOURCES, ChannelMask) == KX_IRB_AT(40, 32), "resource channel mask");
static_assert(sizeof(IRB_REQ_ISOCH_ALLOCATE_RESOURCES) == KX_IRB_AT(48, 40), "allocate resources size");
static_assert(offsetof(IRB_REQ_ISOCH_ATTACH_BUFFERS, pIsochDescriptor) == KX_IRB_AT(16, 8), "attach descriptors");
static_assert(offsetof(IRB_REQ_ISOCH_LISTEN, StartTime) == KX_IRB_AT(12, 8), "listen start time");
static_assert(sizeof(IRB_REQ_ISOCH_STOP) == KX_IRB_AT(16, 8), "stop size");
static_assert(offsetof(IRB_REQ_ISOCH_QUERY_RESOURCES, ChannelsAvailable) == 8, "query resources");
static_assert(offsetof(IRB_REQ_ISOCH_SET_CHANNEL_BANDWIDTH, nBandwidthUnitsRequired) == KX_IRB_AT(12, 8),
              "set channel bandwidth");
static_assert(offsetof(IRB_REQ_GET_LOCAL_HOST_INFORMATION, Information) == KX_IRB_AT(8, 4), "host info");
static_assert(offsetof(IRB_REQ_GET_ADDR_FROM_DEVICE_OBJECT, NodeAddress) == 4, "node address");
static_assert(offsetof(IRB_REQ_GET_SPEED_BETWEEN_DEVICES, fulSpeed) == KX_IRB_AT(520, 264), "speed between");
static_assert(sizeof(TEXTUAL_LEAF) == 16 && offsetof(TEXTUAL_LEAF, TL_Data) == 12, "textual leaf");
static_assert(offsetof(IRB_REQ_GET_CONFIGURATION_INFORMATION, UnitDirectoryLocation) == KX_IRB_AT(24, 12),
              "configuration info: unit directory location");
static_assert(offsetof(IRB_REQ_GET_CONFIGURATION_INFORMATION, UnitDependentDirectoryLocation) ==
                  KX_IRB_AT(48, 32),
              "configuration info: unit-dependent directory location");
static_assert(offsetof(IRB_REQ_GET_CONFIGURATION_INFORMATION, VendorLeaf) == KX_IRB_AT(64, 48),
              "configuration info: vendor leaf");
static_assert(sizeof(IRB_REQ_GET_CONFIGURATION_INFORMATION) == KX_IRB_AT(88, 60), "configuration info size");
static_assert(offsetof(IRB_REQ_BUS_RESET_NOTIFICATION, ResetContext) == KX_IRB_AT(16, 8), "reset notification");
static_assert(offsetof(BUS_RESET_NOTIFICATION_INFO, SpeedCode) == KX_IRB_AT(16, 12), "notification info");
static_assert(offsetof(GET_LOCAL_HOST_INFO7, MaxDmaBufferSize) == 8, "DMA capabilities");
static_assert(offsetof(GET_LOCAL_HOST_INFO6, CsrDataLength) == 8 &&
                  offsetof(GET_LOCAL_HOST_INFO6, CsrDataBuffer) == KX_IRB_AT(16, 12),
              "CSR contents");
static_assert(sizeof(ADDRESS_RANGE) == 8 && offsetof(ADDRESS_RANGE, AR_Off_Low) == 4, "address range piece");
static_assert(offsetof(ADDRESS_FIFO, FifoMdl) == KX_IRB_AT(16, 4), "FIFO element");
static_assert(offsetof(NOTIFICATION_INFO, Context) == KX_IRB_AT(24, 16) &&
                  offsetof(NOTIFICATION_INFO, RequestPacket) == KX_IRB_AT(40, 24) &&
                  offsetof(NOTIFICATION_INFO, ResponseEvent) == KX_IRB_AT(72, 40),
              "notification info");
static_assert(sizeof(NOTIFICATION_INFO) == KX_IRB_AT(80, 44), "notification info size");
static_assert(offsetof(IRB_REQ_ALLOCATE_ADDRESS_RANGE, Callback) == KX_IRB_AT(32, 24) &&
                  offsetof(IRB_REQ_ALLOCATE_ADDRESS_RANGE, Required1394Offset) == KX_IRB_AT(48, 32) &&
                  offsetof(IRB_REQ_ALLOCATE_ADDRESS_RANGE, FifoSListHead) == KX_IRB_AT(56, 40) &&
                  offsetof(IRB_REQ_ALLOCATE_ADDRESS_RANGE, AddressesReturned) == KX_IRB_AT(72, 48) &&
                  offsetof(IRB_REQ_ALLOCATE_ADDRESS_RANGE, hAddressRange) == KX_IRB_AT(88, 56),
              "allocate address range");
static_assert(sizeof(IRB_REQ_ALLOCATE_ADDRESS_RANGE) == KX_IRB_AT(104, 64), "allocate address range size");
static_assert(offsetof(IRB_REQ_FREE_ADDRESS_RANGE, pAddressRange) == KX_IRB_AT(16, 8) &&
                  sizeof(IRB_REQ_FREE_ADDRESS_RANGE) == KX_IRB_AT(32, 16),
              "free address range");
static_assert(offsetof(GET_LOCAL_HOST_INFO4, Context) == KX_IRB_AT(8, 4), "physical-mapping routine");
#undef KX_IRB_AT
