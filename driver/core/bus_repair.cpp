#include "bus_repair.h"

#include "async/async_packet.h"
#include "async/senders.h"
#include "controller.h"
#include "frame/client.h"
#include "hooks.h"
#include "ohci/bus_order.h"
#include "ohci/dma_memory.h"
#include "ohci/ohci_registers.h"
#include "ohci/pool_tags.h"
#include "topology.h"

namespace {

constexpr ULONG kTagSort = KX_TAG('S', 'o', 'r', 't');
constexpr LONGLONG kReplyWaitRelative = -300LL * 10000LL;  // 300 ms
constexpr ULONG kPortStatusAttempts = 3;
constexpr UCHAR kPhyPortSelect = 7;                      // page 7:5, port 3:0
constexpr UCHAR kPhyPortRegister = 9;                    // page 0: negotiated speed 7:5
constexpr ULONG kRemoteAccessReadPaged = 0x00140100;     // type 5, page 0, register index 1
constexpr ULONG kForceRootPacket = 0x00800000;           // configuration packet, R = 1
constexpr ULONG kSpeedRow = 64;
constexpr UCHAR kFastest = 5;                            // S3200
constexpr UCHAR kUnreachable = 255;
constexpr ULONG kNoParent = 0xFFFFFFFF;
constexpr ULONG kBusOptionsIrmc = 1u << 31;
constexpr ULONG kBusOptionsCmc = 1u << 30;

ULONG RemoteAccessQuadlet(ULONG phy, ULONG port) { return (phy << 24) | (port << 11) | kRemoteAccessReadPaged; }

void Sleep100ns(LONGLONG units) {
    LARGE_INTEGER delay;
    delay.QuadPart = -units;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

// A remote PHY's port register: a waiter record on the KernelWaiterList catches the reply (the
// PHY packet receiver matches it by PHY number, page, port and register), the request itself
// goes out as a PHY packet.
UCHAR ReadRemotePortStatus(OhciController* controller, ULONG phy, ULONG port, PUCHAR value) {
    AsyncPacket* waiter = AllocatePacket(controller, 0);
    if (waiter == nullptr) return kPortStatusNotPossible;
    KEVENT replied;
    KeInitializeEvent(&replied, NotificationEvent, FALSE);
    ULONG quadlet = RemoteAccessQuadlet(phy, port);
    waiter->DestinationPhy = UCHAR(phy);
    waiter->RemoteAccessQuadlet = quadlet;
    waiter->PacketStatus = kPacketWaitingReply;
    waiter->KernelEvent = &replied;
    LARGE_INTEGER now;
    KeQueryTickCount(&now);
    waiter->Tick = ULONGLONG(now.QuadPart);

    KIRQL irql;
    KeAcquireSpinLock(&controller->AsyncLock, &irql);
    // A reset already under way ends the query as a reset would.
    bool resetting = controller->BusResetActive != 0;
    if (!resetting) {
        KeAcquireSpinLockAtDpcLevel(&controller->KernelWaiterLock);
        InterlockedIncrement(&waiter->References);
        InsertTailList(&controller->KernelWaiterList, &waiter->WaiterLink);
        PacketSet(waiter, kPacketOnWaiterList);
        KeReleaseSpinLockFromDpcLevel(&controller->KernelWaiterLock);
    }
    KeReleaseSpinLock(&controller->AsyncLock, irql);
    if (resetting) {
        ReleasePacket(waiter);
        return UCHAR(kPacketBusReset);
    }

    UCHAR sent = UCHAR(kPacketError);
    NTSTATUS status = SendPhyPacket(controller, quadlet, &sent);
    UCHAR result;
    if (!NT_SUCCESS(status)) {
        result = kPortStatusNotPossible;
    } else if (sent != kPacketOk && sent != kPacketBusReset) {
        result = sent;
    } else {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kReplyWaitRelative;
        (void)KeWaitForSingleObject(&replied, Executive, KernelMode, FALSE, &timeout);
        result = UCHAR(kPacketTimedOut);
    }
    KeAcquireSpinLock(&controller->KernelWaiterLock, &irql);
    bool listed = !IsListEmpty(&waiter->WaiterLink);
    if (listed) {
        RemoveEntryList(&waiter->WaiterLink);
        InitializeListHead(&waiter->WaiterLink);
        PacketClear(waiter, kPacketOnWaiterList);
    }
    ULONG waiterStatus = waiter->PacketStatus;
    ULONG reply = waiter->ReplyQuadlet;
    KeReleaseSpinLock(&controller->KernelWaiterLock, irql);
    if (listed) ReleasePacket(waiter);
    ReleasePacket(waiter);
    // What the receiver or a flush recorded decides over the wait's own outcome.
    if (waiterStatus == kPacketOk) {
        *value = UCHAR(reply & 0xFF);  // the register's data byte of the remote reply
        return 0;
    }
    if (waiterStatus != kPacketWaitingReply) return UCHAR(waiterStatus);
    return result;
}

// Link speeds: each node asks the PHY of its parent port. False when a bus reset intervened.
bool ReadLinkSpeeds(OhciController* controller, TopologyNode** sorted, ULONG count) {
    const PUCHAR codes = controller->SpeedMapImage + kSpeedMapHeaderBytes;
    for (ULONG i = 0; i < count; ++i) {
        TopologyNode* node = sorted[i];
        node->LinkSpeed = kFastest;
        if (node->ParentPortCount == 0) continue;
        bool known = false;
        for (ULONG attempt = 0; attempt < kPortStatusAttempts && !known; ++attempt) {
            UCHAR value = 0;
            UCHAR status = ReadPortStatus(controller, node->PhyId, node->ParentPort, &value);
            if (status == kPacketBusReset) return false;
            if (status != 0) continue;
            node->LinkSpeed = (value >> 5) & 0x7;
            known = true;
        }
        // A PHY that never answers (a 1394-1995 PHY has no remote access) gets the path speed the
        // self-ID packets give.
        if (!known && node->ParentPhyId < kMaxNodes)
            node->LinkSpeed = codes[node->PhyId * kSpeedRow + node->ParentPhyId];
    }
    return true;
}

// The records in ascending PHY number; `sorted` has room for kMaxNodes + 1 entries.
ULONG SortRecords(BusEvent* event, TopologyNode** sorted) {
    ULONG count = 0;
    for (PLIST_ENTRY entry = event->Nodes.Flink; entry != &event->Nodes && count <= kMaxNodes; entry = entry->Flink)
        sorted[count++] = CONTAINING_RECORD(entry, TopologyNode, Link);
    for (ULONG i = 0; i + 1 < count; ++i) {
        ULONG lowest = i;
        for (ULONG j = i + 1; j < count; ++j)
            if (sorted[j]->PhyId < sorted[lowest]->PhyId) lowest = j;
        TopologyNode* swap = sorted[i];
        sorted[i] = sorted[lowest];
        sorted[lowest] = swap;
    }
    return count;
}

// Self-ID order is a post-order walk: a node's parent is the nearest later node that still has
// a child port to give.
void AssignParents(TopologyNode** sorted, ULONG count) {
    ULONG openPorts[kMaxNodes + 1];
    for (ULONG i = 0; i < count; ++i) {
        openPorts[i] = sorted[i]->ChildCount;
        sorted[i]->ParentPhyId = kNoParent;
    }
    for (ULONG r = count; r-- > 0;) {
        for (ULONG p = r + 1; p < count; ++p) {
            if (openPorts[p] == 0) continue;
            --openPorts[p];
            sorted[r]->ParentPhyId = sorted[p]->PhyId;
            break;
        }
    }
}

// The record of PHY number `phy`, or null.
TopologyNode* RecordOf(TopologyNode** sorted, ULONG count, ULONG phy) {
    return phy < count && sorted[phy]->PhyId == phy ? sorted[phy] : nullptr;
}

// The slowest link from `from` up to (not beyond) `ancestor`; kUnreachable when a record is
// missing on the way.
UCHAR SlowestUpTo(TopologyNode** sorted, ULONG count, ULONG from, ULONG ancestor, ULONG stopAt, UCHAR result) {
    ULONG at = from;
    while (at != ancestor && at != stopAt) {
        TopologyNode* node = RecordOf(sorted, count, at);
        if (node == nullptr) return kUnreachable;
        if (node->LinkSpeed < result) result = UCHAR(node->LinkSpeed);
        at = node->ParentPhyId;
    }
    return result;
}

// Fills the table; false when the tree is broken (the caller resets the bus).
bool FillTable(OhciController* controller, TopologyNode** sorted, ULONG count, ULONG nodeCount) {
    ULONGLONG ancestors[kMaxNodes];
    for (ULONG j = 0; j < nodeCount; ++j) {
        ULONGLONG mask = 0;
        for (ULONG at = j, steps = 0; steps <= nodeCount; ++steps) {
            TopologyNode* node = RecordOf(sorted, count, at);
            if (node == nullptr) return false;
            mask |= 1ull << at;
            if (at == nodeCount - 1) break;
            at = node->ParentPhyId;
            if (at >= nodeCount) return false;
        }
        if (!(mask & (1ull << (nodeCount - 1)))) return false;
        ancestors[j] = mask;
    }
    PUCHAR table = controller->SpeedTable;
    const PUCHAR codes = controller->SpeedMapImage + kSpeedMapHeaderBytes;
    RtlZeroMemory(table, kSpeedTableBytes);
    for (ULONG i = 0; i < nodeCount; ++i) {
        for (ULONG k = 0; k < nodeCount; ++k) {
            ULONGLONG common = ancestors[i] & ancestors[k];
            ULONG ancestor = 0;
            while (!(common & (1ull << ancestor))) ++ancestor;
            UCHAR result = SlowestUpTo(sorted, count, i, ancestor, k, kFastest);
            if (result != kUnreachable) result = SlowestUpTo(sorted, count, k, ancestor, i, result);
            if (result == kUnreachable) return false;
            table[i * kSpeedRow + k] = result;
        }
        table[i * kSpeedRow + i] = codes[i * kSpeedRow + i];
    }
    return true;
}

}  // namespace

UCHAR ReadPortStatus(OhciController* controller, ULONG nodeId, ULONG port, PUCHAR value) {
    *value = 0;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return kPortStatusNotPossible;
    ULONG phy = nodeId & 0x3F;
    if (phy == controller->LocalNodeNumber) {
        // The select and the read stay together: nobody else selects a port meanwhile.
        KIRQL irql;
        KeAcquireSpinLock(&controller->AsyncLock, &irql);
        WritePhyRegister(controller, kPhyPortSelect, UCHAR(port & 0xF));
        *value = ReadPhyRegister(controller, kPhyPortRegister);
        KeReleaseSpinLock(&controller->AsyncLock, irql);
        return 0;
    }
    if (!controller->Initialized) return kPortStatusNotPossible;
    return ReadRemotePortStatus(controller, phy, port & 0xF, value);
}

void BuildSpeedTable(OhciController* controller, BusEvent* event) {
    ULONG nodeCount = event->NodeCount;
    // An event without records comes from a round whose self-IDs were refused (its reset follows)
    // or whose records could not be had: the table stays as it is.
    if (nodeCount == 0 || nodeCount > kMaxNodes || controller->SpeedTable == nullptr || IsListEmpty(&event->Nodes))
        return;
    auto** sorted =
        static_cast<TopologyNode**>(AllocateZeroedPool(sizeof(TopologyNode*) * (kMaxNodes + 1), kTagSort));
    if (sorted == nullptr) return;
    ULONG count = SortRecords(event, sorted);
    AssignParents(sorted, count);
    if (ReadLinkSpeeds(controller, sorted, count)) {
        KeWaitForSingleObject(&controller->SpeedTableMutex, Executive, KernelMode, FALSE, nullptr);
        bool whole = FillTable(controller, sorted, count, nodeCount);
        KeReleaseMutex(&controller->SpeedTableMutex, FALSE);
        if (!whole) InitiateBusReset(controller);
    }
    FreeTaggedPool(sorted, kTagSort);
}

void ForceRootReset(OhciController* controller, bool forClient) {
    bool client = forClient && NT_SUCCESS(AcquireWorkerClient(controller));
    if (client) Sleep100ns(10000);
    UCHAR result = UCHAR(kPacketError);
    (void)SendPhyPacket(controller, (ULONG(controller->LocalNodeNumber & 0x3F) << 24) | kForceRootPacket, &result);
    Sleep100ns(1000);
    InitiateBusReset(controller);
    if (client) ReleaseWorkerClient(controller);
}

void RootCheck(OhciController* controller) {
    // The local node's own bus options are those of its configuration ROM image, which is what a
    // read of its BUS_OPTIONS quadlet answers.
    bool capable = false;
    UCHAR local = controller->LocalNodeNumber;
    if (local != kNoNode && local == controller->RootNodeNumber && controller->ConfigRom.Virtual != nullptr) {
        ULONG busOptions = BusToHost32(static_cast<PULONG>(controller->ConfigRom.Virtual)[2]);
        capable = (busOptions & (kBusOptionsIrmc | kBusOptionsCmc)) != 0;
    }
    if (!capable && local != kNoNode) ForceRootReset(controller, false);
    InterlockedExchange(&controller->RootCheckPending, 0);
}

void DpcForDelayedExecutionRootSanityCheck(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                           PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* controller = static_cast<OhciController*>(DeferredContext);
    if (controller == nullptr) {
        ReportMissingContext("DpcForDelayedExecutionRootSanityCheck");
        return;
    }
    InterlockedExchange(&controller->RootCheckPending, 1);
    KeSetEvent(&controller->WakeEvent, IO_NO_INCREMENT, FALSE);
}
