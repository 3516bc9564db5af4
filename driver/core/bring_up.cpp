#include "bring_up.h"

#include "async/async_packet.h"
#include "bus_reset.h"
#include "config_rom.h"
#include "bus_thread.h"
#include "frame/client.h"
#include "frame/device.h"
#include "frame/driver.h"
#include "hooks.h"
#include "interrupt.h"
#include "ohci/ohci_registers.h"
#include "ohci/pool_tags.h"
#include "ohci/register_access.h"
#include "topology.h"

namespace {

constexpr ULONG kSoftResetPolls = 100;
constexpr LONGLONG kOneMillisecondRelative = -10000LL;
constexpr LONGLONG kOneMicrosecondRelative = -10LL;
constexpr LONGLONG kFiftyMillisecondsRelative = -500000LL;
constexpr ULONG kAsyncPacketBlock = kAsyncPacketBlockBytes;
constexpr ULONG kNotificationBlock = sizeof(BusNotificationRecord);
constexpr ULONG kRangeRecordBlock = 240;
constexpr ULONG kRequestBufferBlock = 4096;
constexpr ULONG kDeliveryNodeBlock = 32;
constexpr ULONG kBusListBlock = 256;  // device and class-interface records

void Sleep(LONGLONG relative100ns) {
    LARGE_INTEGER interval;
    interval.QuadPart = relative100ns;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void SoftReset(OhciController* controller, LONGLONG pollSleep) {
    WriteRegister(controller, ohci::kHCControlSet, ohci::kHCControlSoftReset);
    for (ULONG poll = 0; poll < kSoftResetPolls; ++poll) {
        if (controller->Registers.RegisterBase == nullptr || !(ReadRegisterValue(controller, ohci::kHCControl) & ohci::kHCControlSoftReset))
            return;
        Sleep(pollSleep);
    }
}

PULONG AllocatePlain(ULONG bytes) { return static_cast<PULONG>(AllocateZeroedPool(bytes, kTagControllerPlain)); }

void FreePlain(PVOID buffer) { FreeTaggedPool(buffer, kTagControllerPlain); }

void CopyParameters(OhciController* controller) {
    const DriverParameters& parameters = g_DriverParameters;
    controller->SPLIT_TIMEOUT = parameters.SPLIT_TIMEOUT;
    controller->BandwidthForDriver = parameters.BandwidthForDriver;
    controller->IsoRxNumOfBuf = parameters.IsoRxNumOfBuf;
    controller->IsoRxStreamBase = parameters.IsoRxStreamBase;
    controller->IsoTxNumOfBuf = parameters.IsoTxNumOfBuf;
    controller->IsoDirectDMA = parameters.IsoDirectDMA;
    controller->DesktopCameraEnable = parameters.DesktopCameraEnable;
    controller->AsyncWait = parameters.AsyncWait;
    controller->aPhyEnhanceEnable = parameters.aPhyEnhanceEnable;
}

// The asynchronous contexts' locks, lists and calls exist even when a context could not be built.
void InitializeContextLocks(OhciController* controller) {
    ArContext* receive[] = {&controller->ArRequest, &controller->ArResponse};
    for (ArContext* context : receive) {
        KeInitializeSpinLock(&context->Lock);
        KeInitializeSpinLock(&context->DpcLock);
        KeInitializeDpc(&context->Dpc, ArReceiveDpc, context);
    }
    AtContext* transmit[] = {&controller->AtRequest, &controller->AtResponse};
    for (AtContext* context : transmit) {
        KeInitializeSpinLock(&context->QueueLock);
        KeInitializeSpinLock(&context->SlotLock);
        KeInitializeSpinLock(&context->DpcLock);
        KeInitializeDpc(&context->Dpc, AtCompletionDpc, context);
        KeInitializeTimer(&context->FallbackTimer);
        InitializeListHead(&context->InFlight);
        InitializeListHead(&context->Waiting);
    }
}

// Locks, lists and events that must exist before any teardown runs, whatever step failed.
void InitializeBasics(OhciController* controller) {
    controller->LocalNodeNumber = kNoNode;
    controller->RootNodeNumber = kNoNode;
    controller->IrmNodeNumber = kNoNode;
    controller->BusManagerNodeNumber = kNoNode;
    KeInitializeSpinLock(&controller->TopologyLock);
    KeInitializeSpinLock(&controller->GapLock);
    KeInitializeSpinLock(&controller->InterruptLogLock);
    KeInitializeSpinLock(&controller->AsyncLock);
    KeInitializeSpinLock(&controller->PendingLock);
    KeInitializeSpinLock(&controller->KernelWaiterLock);
    KeInitializeSpinLock(&controller->LabelLock);
    KeInitializeTimer(&controller->SplitTimeoutTimer);
    KeInitializeSpinLock(&controller->ThreadLock);
    KeInitializeSpinLock(&controller->BusEventLock);
    KeInitializeSpinLock(&controller->ClientListLock);
    KeInitializeSpinLock(&controller->NotificationLock);
    InitializeListHead(&controller->PendingList);
    InitializeListHead(&controller->KernelWaiterList);
    InitializeListHead(&controller->BusEventQueue);
    InitializeListHead(&controller->NotificationList);
    KeInitializeSpinLock(&controller->DeviceListLock);
    KeInitializeSpinLock(&controller->ClassNotificationLock);
    KeInitializeSpinLock(&controller->ClassIsochLock);
    KeInitializeSpinLock(&controller->ClassRangeLock);
    KeInitializeSpinLock(&controller->ClassNotifyLock);
    InitializeListHead(&controller->ClassNotifyQueue);
    KeInitializeTimer(&controller->BusResetWatchTimer);
    KeInitializeTimer(&controller->RootCheckTimer);
    KeInitializeDpc(&controller->InterruptLogDpc, InterruptLogDpc, controller);
    KeInitializeDpc(&controller->SplitTimeoutDpc, DpcForSplitTimeoutWatchDog, controller);
    KeInitializeDpc(&controller->BusResetWatchDpc, Vex_OhciBRWatch2sec, controller);
    KeInitializeDpc(&controller->BusResetDpc, DpcForBusReset, controller);
    KeInitializeDpc(&controller->SelfIdDpc, DpcForSelfID, controller);
    KeInitializeDpc(&controller->RootCheckDpc, DpcForDelayedExecutionRootSanityCheck, controller);
    KeInitializeDpc(&controller->IsochStopUrgentDpc, Ruk_IsochStopUrgentDpc, controller);
    KeInitializeDpc(&controller->ClassNotifyDpc, ClassRangeNotifyDpc, controller);
    InitializeContextLocks(controller);
}

void CreateFirstLists(OhciController* controller) {
    CreateLookasideList(&controller->PacketList, kAsyncPacketBlock, kTagAsyncPacket);
    CreateLookasideList(&controller->NotificationBlocks, kNotificationBlock, kTagBusNotification);
    CreateLookasideList(&controller->EventBlocks, sizeof(KEVENT), kTagEventBlock);
    CreateLookasideList(&controller->RangeRecords, kRangeRecordBlock, kTagAddressRange);
    CreateLookasideList(&controller->RequestBuffers, kRequestBufferBlock, kTagIncomingRequest);
    CreateLookasideList(&controller->DeliveryNodes, kDeliveryNodeBlock, kTagRangeDelivery);
    KeInitializeMutex(&controller->AddressRangeMutex, 0);
}

bool InitializeCallsAndSlots(OhciController* controller) {
    for (ULONG n = 0; n < kIsoContextSlots; ++n) {
        controller->IsoRx[n].Context = nullptr;
        KeInitializeMutex(&controller->IsoRx[n].Mutex, 0);
        controller->IsoTx[n].Context = nullptr;
        KeInitializeMutex(&controller->IsoTx[n].Mutex, 0);
    }
    return CreateIsochLookasideLists(controller);
}

void CreateBusLists(OhciController* controller) {
    for (ULONG i = 0; i < kBusListCount; ++i) CreateLookasideList(&controller->BusLists[i], kBusListBlock, BusListTag(i));
    KeInitializeMutex(&controller->DeviceListMutex, 0);
}

bool AllocateRomAndSelfIdBuffers(OhciController* controller) {
    controller->ConfigRomAdapter = GetControllerDmaAdapter(controller->PhysicalDeviceObject);
    if (!AllocateCommonBuffer(controller->ConfigRomAdapter, kConfigRomBytes, &controller->ConfigRom)) return false;
    controller->SelfIdAdapter = GetControllerDmaAdapter(controller->PhysicalDeviceObject);
    return AllocateCommonBuffer(controller->SelfIdAdapter, kSelfIdBufferBytes, &controller->SelfIdBuffer);
}

bool AllocateMaps(OhciController* controller) {
    controller->SpeedMapImage = reinterpret_cast<PUCHAR>(AllocatePlain(kSpeedMapImageBytes));
    RtlZeroMemory(controller->TopologyMap, sizeof(controller->TopologyMap));
    controller->TopologyMapImage = AllocatePlain(kTopologyMapImageBytes);
    controller->SelfIdCopy = AllocatePlain(kSelfIdCopyBytes);
    controller->SpeedTable = reinterpret_cast<PUCHAR>(AllocatePlain(kSpeedTableBytes));
    return controller->SpeedMapImage != nullptr && controller->TopologyMapImage != nullptr &&
           controller->SelfIdCopy != nullptr && controller->SpeedTable != nullptr;
}

bool CreateAsyncContexts(OhciController* controller) {
    return InitArContext(controller, &controller->ArRequest, kArRequest, ohci::kAsyncRequestReceiveContext) &&
           InitArContext(controller, &controller->ArResponse, kArResponse, ohci::kAsyncResponseReceiveContext) &&
           InitAtContext(controller, &controller->AtRequest, kAtRequest, 0, ohci::kAsyncRequestTransmitContext) &&
           InitAtContext(controller, &controller->AtResponse, kAtResponse, 1, ohci::kAsyncResponseTransmitContext);
}

void CreateTopologyObjects(OhciController* controller) {
    CreateLookasideList(&controller->TopologyNodes, sizeof(TopologyNode), kTagTopologyNode);
    CreateLookasideList(&controller->BusEvents, sizeof(BusEvent), kTagBusEvent);
    KeInitializeMutex(&controller->SpeedTableMutex, 0);
    KeInitializeEvent(&controller->AsyncGate, NotificationEvent, TRUE);
    KeInitializeEvent(&controller->EnumerationDone, NotificationEvent, TRUE);
    InitializeListHead(&controller->BusEventQueue);
    controller->BusEventCount = 0;
}

bool BuildControllerObject(ControllerDeviceExtension* extension) {
    OhciController* controller = &extension->Controller;
    controller->PhysicalDeviceObject = extension->PhysicalDeviceObject;
    controller->DeviceObject = extension->DeviceObject;
    InitializeRegisterAccess(controller, static_cast<volatile ULONG*>(extension->RegisterWindow.Address));
    CopyParameters(controller);
    SelectIsoReceiveRoutines(controller);
    CreateFirstLists(controller);
    if (!InitializeCallsAndSlots(controller)) return false;
    CreateBusLists(controller);
    if (!AllocateRomAndSelfIdBuffers(controller) || !AllocateMaps(controller) || !CreateAsyncContexts(controller))
        return false;
    CreateTopologyObjects(controller);
    return LaunchBusThread(controller);
}

// Steps 1 to 8 of the link's bring-up: reset, LPS, bus options, node ID, link control, PHY.
void ProgramLink(OhciController* controller) {
    SoftReset(controller, kOneMillisecondRelative);
    WriteRegister(controller, ohci::kHCControlSet, ohci::kHCControlLPS);
    WriteRegister(controller, ohci::kIntEventClear, 0xFFFFFFFF);
    WriteRegister(controller, ohci::kIntMaskClear, 0xFFFFFFFF);
    Sleep(kFiftyMillisecondsRelative);
    ULONG busOptions = ReadRegisterValue(controller, ohci::kBusOptions);
    WriteRegister(controller, ohci::kBusOptions, (busOptions & ohci::kBusOptionsKeep) | ohci::kBusOptionsCapabilities);
    WriteRegister(controller, ohci::kNodeID, ohci::kNodeIdLocalBus);
    WriteRegister(controller, ohci::kHCControlSet, ohci::kHCControlPostedWriteEnable);
    WriteRegister(controller, ohci::kHCControlSet, ohci::kHCControlBIBimageValid);
    WriteRegister(controller, ohci::kLinkControlClear, 0xFFFFFFFF);
    WriteRegister(controller, ohci::kLinkControlSet, ohci::kLinkControlCycleTimerEnable);
    WritePhyRegister(controller, ohci::kPhyRegister4,
                     UCHAR(ReadPhyRegister(controller, ohci::kPhyRegister4) | ohci::kPhyLinkActive | ohci::kPhyContender));
    WritePhyRegister(controller, ohci::kPhyRegister1,
                     UCHAR(ReadPhyRegister(controller, ohci::kPhyRegister1) | ohci::kPhyRhb));
}

void ProgramBuffersAndFilters(OhciController* controller) {
    WriteRegister(controller, ohci::kSelfIDBuffer, controller->SelfIdBuffer.Logical);
    WriteRegister(controller, ohci::kLinkControlSet, ohci::kLinkControlRcvSelfID | ohci::kLinkControlRcvPhyPkt);
    WriteRegister(controller, ohci::kConfigROMmap, controller->ConfigRom.Logical);
    constexpr ULONG kClearAll[] = {ohci::kIsoRecvIntMaskClear,  ohci::kIsoRecvIntEventClear, ohci::kIsoXmitIntMaskClear,
                                   ohci::kIsoXmitIntEventClear, ohci::kIRMultiChanMaskHiClear,
                                   ohci::kIRMultiChanMaskLoClear};
    for (ULONG offset : kClearAll) WriteRegister(controller, offset, 0xFFFFFFFF);
    WriteRegister(controller, ohci::kAsynchronousRequestFilterHiSet, ohci::kAsynReqAllBuses);
    WriteRegister(controller, ohci::kATRetries, ohci::kATRetriesValue);
    WriteRegister(controller, ohci::kHCControlClear, ohci::kHCControlNoByteSwapData);
    WriteRegister(controller, ohci::kIntMaskSet, ohci::kIntEnabledEvents);
}

void ProbeIsoContexts(OhciController* controller) {
    WriteRegister(controller, ohci::kIsoRecvIntMaskSet, 0xFFFFFFFF);
    controller->ImplementedIsoRecvMask = ReadRegisterValue(controller, ohci::kIsoRecvIntMaskSet);
    WriteRegister(controller, ohci::kIsoRecvIntMaskClear, 0xFFFFFFFF);
    WriteRegister(controller, ohci::kIsoXmitIntMaskSet, 0xFFFFFFFF);
    controller->ImplementedIsoXmitMask = ReadRegisterValue(controller, ohci::kIsoXmitIntMaskSet);
    WriteRegister(controller, ohci::kIsoXmitIntMaskSet, 0xFFFFFFFF);
}

// Enables every port the PHY reports present but disabled.
void EnablePorts(OhciController* controller) {
    ULONG ports = ReadPhyRegister(controller, ohci::kPhyRegister2) & ohci::kPhyPortCountMask;
    for (ULONG port = 0; port < ports; ++port) {
        WritePhyRegister(controller, ohci::kPhyRegister7, UCHAR(port));
        UCHAR status = ReadPhyRegister(controller, ohci::kPhyRegister8);
        if (status & ohci::kPhyPortStatusTested)
            WritePhyRegister(controller, ohci::kPhyRegister8, UCHAR(status & ~ohci::kPhyPortDisabled));
    }
}

void EnableLink(OhciController* controller) {
    if (ReadRegisterValue(controller, ohci::kHCControl) & ohci::kHCControlProgramPhyEnable)
        WriteRegister(controller, controller->aPhyEnhanceEnable == 1 ? ohci::kHCControlSet : ohci::kHCControlClear,
                      ohci::kHCControlAPhyEnhanceEnable);
    WriteRegister(controller, ohci::kHCControlSet, ReadRegisterValue(controller, ohci::kHCControl) | ohci::kHCControlLinkEnable);
}

void FreeAsyncContexts(OhciController* controller) {
    FreeArContext(&controller->ArRequest);
    FreeArContext(&controller->ArResponse);
    FreeAtContext(&controller->AtRequest);
    FreeAtContext(&controller->AtResponse);
}

void FlushForTeardown(OhciController* controller) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->AsyncLock, &irql);
    FlushPendingRequests(controller, 0, 0);
    KeReleaseSpinLock(&controller->AsyncLock, irql);
}

// Deferred calls and timers are quiet before the memory they use goes.
void QuiesceCalls(OhciController* controller) {
    KeCancelTimer(&controller->RootCheckTimer);
    KeRemoveQueueDpc(&controller->RootCheckDpc);
    KeCancelTimer(&controller->BusResetWatchTimer);
    KeRemoveQueueDpc(&controller->BusResetWatchDpc);
    KeRemoveQueueDpc(&controller->BusResetDpc);
    KeRemoveQueueDpc(&controller->SelfIdDpc);
    KeCancelTimer(&controller->SplitTimeoutTimer);
    KeRemoveQueueDpc(&controller->SplitTimeoutDpc);
    KeRemoveQueueDpc(&controller->IsochStopUrgentDpc);
    KeRemoveQueueDpc(&controller->InterruptLogDpc);
    KeRemoveQueueDpc(&controller->ArRequest.Dpc);
    KeRemoveQueueDpc(&controller->ArResponse.Dpc);
    KeCancelTimer(&controller->AtResponse.FallbackTimer);
    KeRemoveQueueDpc(&controller->AtRequest.Dpc);
    KeRemoveQueueDpc(&controller->AtResponse.Dpc);
    KeFlushQueuedDpcs();
    // Notifications of requests already answered still reach their routines.
    RunClassRangeNotifications(controller);
}

void FreeBuffersAndLists(OhciController* controller) {
    FreeCommonBuffer(&controller->SelfIdBuffer);
    PutControllerDmaAdapter(controller->SelfIdAdapter);
    controller->SelfIdAdapter = nullptr;
    for (ULONG i = 0; i < kBusListCount; ++i) DeleteLookasideList(&controller->BusLists[i]);
    DeleteLookasideList(&controller->PacketList);
    DeleteLookasideList(&controller->NotificationBlocks);
    DeleteLookasideList(&controller->EventBlocks);
    DeleteLookasideList(&controller->RangeRecords);
    DeleteLookasideList(&controller->RequestBuffers);
    DeleteLookasideList(&controller->DeliveryNodes);
    FreePlain(controller->SpeedMapImage);
    FreePlain(controller->TopologyMapImage);
    FreePlain(controller->SelfIdCopy);
    FreePlain(controller->SpeedTable);
    controller->SpeedMapImage = nullptr;
    controller->TopologyMapImage = nullptr;
    controller->SelfIdCopy = nullptr;
    controller->SpeedTable = nullptr;
    FreeCommonBuffer(&controller->ConfigRom);
    PutControllerDmaAdapter(controller->ConfigRomAdapter);
    controller->ConfigRomAdapter = nullptr;
}

}  // namespace

bool InitializeController(ControllerDeviceExtension* extension) {
    OhciController* controller = &extension->Controller;
    // The children and their class records outlive a stop of the controller; the list heads stay
    // where they are, so their links stay valid.
    LIST_ENTRY devices = controller->DeviceList;
    ULONG deviceCount = controller->DeviceCount;
    LIST_ENTRY notifications = controller->ClassNotificationList;
    LIST_ENTRY bandwidth = controller->ClassBandwidthList;
    LIST_ENTRY ranges = controller->ClassRangeList;
    RtlZeroMemory(controller, sizeof(*controller));
    if (devices.Flink != nullptr) {
        controller->DeviceList = devices;
        controller->DeviceCount = deviceCount;
        controller->ClassNotificationList = notifications;
        controller->ClassBandwidthList = bandwidth;
        controller->ClassRangeList = ranges;
    } else {
        InitializeListHead(&controller->DeviceList);
        InitializeListHead(&controller->ClassNotificationList);
        InitializeListHead(&controller->ClassBandwidthList);
        InitializeListHead(&controller->ClassRangeList);
    }
    InitializeBasics(controller);
    if (!BuildControllerObject(extension)) {
        TeardownController(extension);
        return false;
    }
    controller->Initialized = TRUE;
    return true;
}

void ProgramController(ControllerDeviceExtension* extension) {
    OhciController* controller = &extension->Controller;
    ProgramLink(controller);
    ProgramBuffersAndFilters(controller);
    ProbeIsoContexts(controller);
    EnablePorts(controller);
    EnableLink(controller);
    controller->GuidHi = ReadRegisterValue(controller, ohci::kGUIDHi);
    controller->GuidLo = ReadRegisterValue(controller, ohci::kGUIDLo);
    RearmArContext(&controller->ArRequest);
    RearmArContext(&controller->ArResponse);
    ResetAtContext(&controller->AtRequest);
    ResetAtContext(&controller->AtResponse);
}

void MaskControllerInterrupt(ControllerDeviceExtension* extension) {
    WriteRegister(&extension->Controller, ohci::kIntMaskClear, ohci::kIntReleaseMask);
    WriteRegister(&extension->Controller, ohci::kIntEventClear, ohci::kIntControllerEvents);
}

void ShutdownController(ControllerDeviceExtension* extension) {
    OhciController* controller = &extension->Controller;
    ULONG busOptions = ReadRegisterValue(controller, ohci::kBusOptions);
    WriteRegister(controller, ohci::kConfigROMhdr, (busOptions & 0xF007) | 0x00FF0000);
    constexpr ULONG kClearAll[] = {ohci::kIntMaskClear,         ohci::kIntEventClear,      ohci::kIsoXmitIntMaskClear,
                                   ohci::kIsoXmitIntEventClear, ohci::kIsoRecvIntMaskClear, ohci::kIsoRecvIntEventClear};
    for (ULONG offset : kClearAll) WriteRegister(controller, offset, 0xFFFFFFFF);
    WritePhyRegister(controller, ohci::kPhyRegister4, UCHAR(ReadPhyRegister(controller, ohci::kPhyRegister4) & 0x3F));
    WriteRegister(controller, ohci::kLinkControlClear, 0xFFFFFFFF);
    WritePhyRegister(controller, ohci::kPhyRegister1,
                     UCHAR((ReadPhyRegister(controller, ohci::kPhyRegister1) & 0x3F) | ohci::kPhyIbr));
    SoftReset(controller, kOneMicrosecondRelative);
    StopAsyncContexts(controller);
    // The contexts' memory goes in the teardown, once the bus thread has ended and no deferred
    // call of the engine is left: both may still be queueing on them here.
    controller->Registers.RegisterBase = nullptr;
    TeardownController(extension);
}

void TeardownController(ControllerDeviceExtension* extension) {
    OhciController* controller = &extension->Controller;
    KeCancelTimer(&controller->RootCheckTimer);
    KeRemoveQueueDpc(&controller->RootCheckDpc);
    // The streams close first: their deferred calls and timers wake the driver client, which the
    // bus thread's end releases.
    for (ULONG slot = 0; slot < kIsoContextSlots; ++slot) {
        CloseIsoRxStream(controller, slot);
        CloseIsoTxStream(controller, slot);
    }
    MSM_TerminateThread(controller);
    FlushForTeardown(controller);
    DeleteIsochLookasideLists(controller);
    EndAllClients(controller);
    WriteRegister(controller, ohci::kSelfIDBuffer, 0);
    WriteRegister(controller, ohci::kConfigROMmap, 0);
    QuiesceCalls(controller);
    FreeAsyncContexts(controller);
    FreeBuffersAndLists(controller);
    DeleteLookasideList(&controller->TopologyNodes);
    DeleteLookasideList(&controller->BusEvents);
    controller->Initialized = FALSE;
}
