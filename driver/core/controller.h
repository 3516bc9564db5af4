// The OhciController: the per-controller object that nearly every routine of the OHCI core,
// asynchronous, isochronous and bus subsystems receives. Each subsystem adds the fields it owns.
#pragma once

#include "kxplatform.h"
#include "async/ar_context.h"
#include "async/at_context.h"
#include "ohci/dma_memory.h"
#include "ohci/register_access.h"

struct OhciController;
struct ClientRecord;

// Isochronous receive completion, chosen at start by IsoDirectDMA: the handler runs in the receive
// deferred procedure call, the finish routine in the client worker (0 go on, 1 stop the worker,
// 2 leave the list for now).
typedef void (*IsoReceiveCompletionRoutineType)(OhciController* controller, PVOID stream);
typedef ULONG (*IsoReceiveFinishRoutineType)(PVOID stream, ClientRecord* client, ULONG contextNumber,
                                         OhciController* controller);

constexpr UCHAR kNoNode = 0xFF;
constexpr ULONG kMaxNodes = 63;
constexpr ULONG kIsoContextSlots = 32;
constexpr ULONG kBusListCount = 9;                 // ZB17 .. ZB25

constexpr ULONG kConfigRomBytes = 4096;
constexpr ULONG kSelfIdBufferBytes = 4096;
constexpr ULONG kSelfIdCopyBytes = 2048;
constexpr ULONG kTopologyMapQuadlets = 259;        // length/CRC, generation, counts, 256 packets
constexpr ULONG kMaxSelfIdPackets = 256;
constexpr ULONG kTopologyMapImageBytes = 1024;
constexpr ULONG kSpeedMapImageBytes = 4096;
constexpr ULONG kSpeedMapHeaderBytes = 8;
constexpr ULONG kSpeedTableBytes = 4096;

// Software values of the local serial-bus CSRs.
struct LocalCsrValues {
    ULONG SplitTimeoutHi;
    ULONG SplitTimeoutLo;
    ULONG BandwidthAvailable;
    ULONG ChannelsAvailableHi;
    ULONG ChannelsAvailableLo;
    ULONG BooksGeneration;  // counts the renewals of the three values above at bus resets
};

// Counters of the asynchronous engine, read and cleared through the class interface; its tail is
// the interrupt log of the ten most recent error event codes.
constexpr ULONG kInterruptLogEntries = 10;
struct AsyncStatistics {
    ULONG Counters[0x54 / 4];
    volatile LONG InterruptLogCount;
    ULONG InterruptLog[kInterruptLogEntries];
};
static_assert(sizeof(AsyncStatistics) == 0x80, "statistics block is 128 bytes");
static_assert(offsetof(AsyncStatistics, InterruptLogCount) == 0x54, "log count at 0x54");
static_assert(offsetof(AsyncStatistics, InterruptLog) == 0x58, "log entries at 0x58");

// One isochronous context slot: the stream bound to it (none yet) and its mutex.
struct IsoContextSlot {
    PVOID Context;
    KMUTEX Mutex;
};

// One process's bus notification registration: its reset and ready events.
struct BusNotificationRecord {
    LIST_ENTRY Link;
    PEPROCESS Process;
    PKEVENT ResetEvent;
    PKEVENT ReadyEvent;
};

struct OhciController {
    // Register layer.
    RegisterWindow Registers;

    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT DeviceObject;   // the controller's functional device object
    BOOLEAN Initialized;           // InitializeController succeeded and teardown has not run

    // Copies of the driver parameters.
    ULONGLONG SPLIT_TIMEOUT;
    ULONG BandwidthForDriver;
    ULONG IsoRxNumOfBuf;
    ULONG IsoRxStreamBase;
    ULONG IsoTxNumOfBuf;
    ULONG IsoDirectDMA;
    ULONG DesktopCameraEnable;
    ULONG AsyncWait;
    ULONG aPhyEnhanceEnable;
    IsoReceiveCompletionRoutineType IsoReceiveCompletionHandler;
    IsoReceiveFinishRoutineType IsoReceiveFinishRoutine;

    // Identity, configuration ROM and local CSRs.
    ULONG GuidHi;
    ULONG GuidLo;
    LocalCsrValues LocalCsr;
    PDMA_ADAPTER ConfigRomAdapter;
    CommonBuffer ConfigRom;        // big-endian image
    PDMA_ADAPTER SelfIdAdapter;
    CommonBuffer SelfIdBuffer;
    ULONG ImplementedIsoRecvMask;
    ULONG ImplementedIsoXmitMask;

    // Bus state (self-ID and topology).
    UCHAR LocalNodeNumber;
    UCHAR RootNodeNumber;
    UCHAR IrmNodeNumber;
    UCHAR BusManagerNodeNumber;
    UCHAR IsRoot;
    UCHAR IsIrm;
    UCHAR IsBusManager;
    UCHAR IsCycleMaster;
    UCHAR TopologyGeneration;
    volatile UCHAR BusResetActive;
    volatile UCHAR BusResetRecent;
    UCHAR GapCountFixNeeded;
    ULONG SelfIdPacketCount;
    ULONG NodeCount;
    ULONG ActiveLinkCount;
    ULONGLONG ActiveLinkMask;
    volatile ULONG BusResetCount;
    KSPIN_LOCK TopologyLock;       // ActiveLinkCount, ActiveLinkMask, the split time-out CSR values
    KSPIN_LOCK GapLock;            // GapCountFixNeeded
    PULONG SelfIdCopy;             // kSelfIdCopyBytes (ZOSP)
    ULONG TopologyMap[kTopologyMapQuadlets];  // host order; self-ID packets from quadlet 3
    PULONG TopologyMapImage;       // kTopologyMapImageBytes, big-endian (ZOSP)
    PUCHAR SpeedMapImage;          // kSpeedMapImageBytes: bus-order header, then 63 x 64 codes (ZOSP)
    PUCHAR SpeedTable;             // kSpeedTableBytes: 64 x 64 codes (ZOSP)
    KMUTEX SpeedTableMutex;

    // Interrupt service.
    volatile ULONG PendingEvents;
    ULONG LastEvents;
    ULONG LastIsoRecvEvents;
    AsyncStatistics Statistics;
    KSPIN_LOCK InterruptLogLock;
    KDPC InterruptLogDpc;

    // Asynchronous engine.
    KSPIN_LOCK AsyncLock;
    ArContext ArRequest;
    ArContext ArResponse;
    AtContext AtRequest;
    AtContext AtResponse;
    LIST_ENTRY PendingList;        // AsyncPacket.PendingLink
    KSPIN_LOCK PendingLock;
    LIST_ENTRY KernelWaiterList;   // AsyncPacket.WaiterLink
    KSPIN_LOCK KernelWaiterLock;
    KDPC SplitTimeoutDpc;
    KTIMER SplitTimeoutTimer;      // fires SplitTimeoutDpc while requests are pending
    volatile LONG SplitTimerArmed;
    ULONG LabelPool[64][2];        // per destination node number: labels 0..31, 32..63 in use
    // Labels of requests that ended for their caller while their transaction was still open on
    // the bus (LabelLock): still set in LabelPool, each comes back with its response, and all of
    // a node's at LingerUntil (a tick count) or at the next generation.
    ULONG LingeringLabels[64][2];
    ULONGLONG LingerUntil[64];
    ULONG LingerGeneration[64];
    KSPIN_LOCK LabelLock;
    volatile LONG LabelHoldMs;     // the split time-out in milliseconds, readable under any lock

    // Deferred calls and timers of bus reset and root check.
    KDPC BusResetDpc;
    KDPC SelfIdDpc;
    KTIMER BusResetWatchTimer;
    KDPC BusResetWatchDpc;
    KTIMER RootCheckTimer;
    KDPC RootCheckDpc;
    volatile LONG RootCheckPending;  // set by the root-check timer, cleared once the check ran
    KDPC IsochStopUrgentDpc;

    // Lookaside lists.
    LookasideList PacketList;          // ZOPP
    LookasideList NotificationBlocks;  // ZOBE
    LookasideList EventBlocks;         // Evnt
    LookasideList RangeRecords;        // ZORT
    LookasideList RequestBuffers;      // ZOIC
    LookasideList DeliveryNodes;       // ZOIT
    LookasideList TopologyNodes;       // ZspN
    LookasideList BusEvents;           // ZspM
    LookasideList BusLists[kBusListCount];
    KMUTEX AddressRangeMutex;
    LIST_ENTRY DeviceList;
    KMUTEX DeviceListMutex;
    // Bus devices and the class interface.
    KSPIN_LOCK DeviceListLock;     // DeviceList, DeviceCount, node numbers of records and children
    ULONG DeviceCount;
    LIST_ENTRY ClassNotificationList;
    KSPIN_LOCK ClassNotificationLock;
    LIST_ENTRY ClassBandwidthList;
    KSPIN_LOCK ClassIsochLock;     // ClassBandwidthList, each child's isochronous resource record
    volatile LONG ClassResourceCounter;  // the last isochronous resource handle given out
    LIST_ENTRY ClassRangeList;     // the class interface's address ranges (bus/address_range.cpp)
    KSPIN_LOCK ClassRangeLock;     // ClassRangeList and the ranges' incoming-request state
    volatile LONG ClassRangeWalk;  // 1 while an incoming request walks ClassRangeList
    LIST_ENTRY ClassNotifyQueue;   // notifications after a response, waiting for ClassNotifyDpc
    KSPIN_LOCK ClassNotifyLock;    // ClassNotifyQueue, ClassNotifyRunning
    BOOLEAN ClassNotifyRunning;    // a caller is running the queue
    KDPC ClassNotifyDpc;

    // Isochronous context slots.
    IsoContextSlot IsoRx[kIsoContextSlots];
    IsoContextSlot IsoTx[kIsoContextSlots];

    // Isochronous receive engine (isoch/iso_rx.cpp).
    PDMA_ADAPTER IsoRxAdapter;          // the receive adapter: areas, scratch pages, caller buffers
    ULONG IsoRxMapRegisters;
    ULONG IsoRxInUse;                   // bit n: IR context n owned by a stream
    KSPIN_LOCK IsoRxContextLock;        // IsoRxInUse
    volatile LONG IsoRxWorkMask;        // bit n: the finish routine of context n is wanted
    volatile LONG IsoRxUrgentStop;      // bit n: a stop waits for IsochStopUrgentDpc on context n
    ULONGLONG IsoRxKeys[kIsoContextSlots];  // stream key table: key (0 empty) and its context
    ULONG IsoRxKeyContext[kIsoContextSlots];
    KSPIN_LOCK IsoRxKeyLock;
    LookasideList IsoRxRequests;        // ZOID: attached buffer records

    // Topology gates: cleared by the self-ID call, set by the bus management thread.
    KEVENT AsyncGate;
    KEVENT EnumerationDone;

    // Bus management thread.
    PVOID ThreadObject;            // referenced thread object; null when there is none
    KSPIN_LOCK ThreadLock;
    KEVENT WakeEvent;              // synchronization
    KEVENT TerminatedEvent;        // notification
    volatile UCHAR TerminateRequested;
    volatile UCHAR Terminated;
    LIST_ENTRY BusEventQueue;      // BusEvent.Link
    KSPIN_LOCK BusEventLock;
    volatile LONG BusEventCount;
    PEPROCESS DriverProcess;
    volatile LONG BusPassCount;    // passes that handled a BusEvent (diagnostics)

    // Client records.
    SINGLE_LIST_ENTRY ClientList;  // ClientRecord.Next
    KSPIN_LOCK ClientListLock;
    volatile LONG ClientCount;

    // Bus notification registrations.
    LIST_ENTRY NotificationList;   // BusNotificationRecord.Link
    KSPIN_LOCK NotificationLock;
};

// The register layer's routines on a controller's window.
inline void InitializeRegisterAccess(OhciController* controller, volatile ULONG* registerBase) {
    InitializeRegisterAccess(&controller->Registers, registerBase);
}
inline void ReadRegister(OhciController* controller, ULONG offset, PULONG value) {
    ReadRegister(&controller->Registers, offset, value);
}
[[nodiscard]] inline ULONG ReadRegisterValue(OhciController* controller, ULONG offset) {
    return ReadRegisterValue(&controller->Registers, offset);
}
inline void WriteRegister(OhciController* controller, ULONG offset, ULONG value) {
    WriteRegister(&controller->Registers, offset, value);
}
[[nodiscard]] inline UCHAR ReadPhyRegister(OhciController* controller, UCHAR phyRegister) {
    return ReadPhyRegister(&controller->Registers, phyRegister);
}
inline void WritePhyRegister(OhciController* controller, UCHAR phyRegister, UCHAR value) {
    WritePhyRegister(&controller->Registers, phyRegister, value);
}
inline void InitiateBusReset(OhciController* controller) { InitiateBusReset(&controller->Registers); }
[[nodiscard]] inline NTSTATUS CsrCompareSwap(OhciController* controller, PULONG selectorOld, ULONG newValue,
                                             ULONG compareValue) {
    return CsrCompareSwap(&controller->Registers, selectorOld, newValue, compareValue);
}
