#include "topology.h"

#include "ohci/bus_order.h"
#include "controller.h"
#include "ohci/register_access.h"
#include "ohci/self_id.h"

namespace {

PULONG SelfIdPackets(OhciController* controller) { return &controller->TopologyMap[3]; }

bool MakeNodeRecords(OhciController* controller, const selfid::NodePorts* ports, PLIST_ENTRY nodes) {
    for (ULONG e = controller->NodeCount; e-- > 0;) {
        auto* node = static_cast<TopologyNode*>(AllocateFromLookaside(&controller->TopologyNodes));
        if (node == nullptr) return false;
        node->PhyId = e;
        node->ParentPortCount = ports[e].ParentPortCount;
        node->ParentPort = ports[e].ParentPort;
        node->ChildCount = ports[e].ChildCount;
        InsertHeadList(nodes, &node->Link);
    }
    return true;
}

}  // namespace

void FreeTopologyNodes(OhciController* controller, PLIST_ENTRY nodes) {
    while (!IsListEmpty(nodes)) {
        PLIST_ENTRY entry = RemoveHeadList(nodes);
        FreeToLookaside(&controller->TopologyNodes, CONTAINING_RECORD(entry, TopologyNode, Link));
    }
}

void BuildTopology(OhciController* controller, PLIST_ENTRY nodes) {
    InitializeListHead(nodes);
    PUCHAR codes = controller->SpeedMapImage + kSpeedMapHeaderBytes;
    selfid::NodePorts ports[kMaxNodes];
    ULONG nodeCount = controller->NodeCount;
    if (nodeCount > kMaxNodes ||
        !selfid::CountPorts(SelfIdPackets(controller), controller->SelfIdPacketCount, nodeCount, ports)) {
        selfid::FillSpeedMap(codes, ports, 0);
        InitiateBusReset(controller);
        return;
    }
    selfid::FillSpeedMap(codes, ports, nodeCount);
    if (!MakeNodeRecords(controller, ports, nodes)) FreeTopologyNodes(controller, nodes);
}

void UpdateCsrImages(OhciController* controller) {
    LocalCsrValues* csr = &controller->LocalCsr;
    csr->BandwidthAvailable = 0x1333;
    csr->ChannelsAvailableHi = 0xFFFFFFFE;
    csr->ChannelsAvailableLo = 0xFFFFFFFF;
    ++csr->BooksGeneration;

    PULONG map = controller->TopologyMap;
    ULONG count = controller->SelfIdPacketCount;
    map[1] += 1;
    map[2] = (controller->NodeCount << 16) | count;
    map[0] = ((count + 2) << 16) | RomCrc16HostOrder(&map[1], count + 2);

    PULONG speedMap = reinterpret_cast<PULONG>(controller->SpeedMapImage);
    constexpr ULONG kSpeedMapLength = 0x3F1;
    speedMap[1] = HostToBus32(BusToHost32(speedMap[1]) + 1);
    speedMap[0] = HostToBus32((kSpeedMapLength << 16) | RomCrc16(&speedMap[1], kSpeedMapLength));
}

void PublishTopologyMapImage(OhciController* controller) {
    for (ULONG i = 0; i < kTopologyMapImageBytes / 4; ++i)
        controller->TopologyMapImage[i] = HostToBus32(controller->TopologyMap[i]);
}

void FreeBusEvent(OhciController* controller, BusEvent* event) {
    FreeTopologyNodes(controller, &event->Nodes);
    FreeToLookaside(&controller->BusEvents, event);
}

void QueueBusEvent(OhciController* controller, PLIST_ENTRY nodes) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->ThreadLock, &irql);
    bool haveThread = controller->ThreadObject != nullptr;
    KeReleaseSpinLock(&controller->ThreadLock, irql);
    auto* event = haveThread ? static_cast<BusEvent*>(AllocateFromLookaside(&controller->BusEvents)) : nullptr;
    if (event == nullptr) {
        FreeTopologyNodes(controller, nodes);
        return;
    }
    InitializeListHead(&event->Nodes);
    while (!IsListEmpty(nodes)) InsertTailList(&event->Nodes, RemoveHeadList(nodes));
    event->Controller = controller;
    event->NodeCount = controller->NodeCount;
    KeAcquireSpinLock(&controller->BusEventLock, &irql);
    InsertTailList(&controller->BusEventQueue, &event->Link);
    InterlockedIncrement(&controller->BusEventCount);
    KeReleaseSpinLock(&controller->BusEventLock, irql);
    KeSetEvent(&controller->WakeEvent, IO_NO_INCREMENT, FALSE);
}

void DiscardQueuedBusEvents(OhciController* controller) {
    LIST_ENTRY discarded;
    InitializeListHead(&discarded);
    KIRQL irql;
    KeAcquireSpinLock(&controller->BusEventLock, &irql);
    while (!IsListEmpty(&controller->BusEventQueue)) {
        InsertTailList(&discarded, RemoveHeadList(&controller->BusEventQueue));
        InterlockedDecrement(&controller->BusEventCount);
    }
    KeReleaseSpinLock(&controller->BusEventLock, irql);
    while (!IsListEmpty(&discarded))
        FreeBusEvent(controller, CONTAINING_RECORD(RemoveHeadList(&discarded), BusEvent, Link));
}
