// One validated topology: TopologyNode records (one per node, ascending PHY number) in a BusEvent
// handed to the bus management thread; the TOPOLOGY_MAP and SPEED_MAP images.
#pragma once

#include "kxplatform.h"

struct OhciController;

struct TopologyNode {
    LIST_ENTRY Link;
    ULONG PhyId;
    ULONG ParentPortCount;  // ports connected to the parent (0 for the root)
    ULONG ParentPort;       // index of the last such port
    ULONG ChildCount;
    ULONG ParentPhyId;      // filled by the speed table
    ULONG LinkSpeed;        // speed code of the link to the parent, filled by the speed table
};

struct BusEvent {
    LIST_ENTRY Link;        // the thread's BusEventQueue
    OhciController* Controller;
    LIST_ENTRY Nodes;       // TopologyNode.Link
    ULONG NodeCount;
};

// Rebuilds the speed codes of SpeedMapImage from the self-ID packets and fills `nodes` with one
// TopologyNode per node. When a record cannot be had the list is left empty.
void BuildTopology(OhciController* controller, PLIST_ENTRY nodes);

// Resets the local isochronous resource values and seals the TOPOLOGY_MAP and SPEED_MAP images
// with their new generations, lengths and CRCs.
void UpdateCsrImages(OhciController* controller);

// Copies the first 256 quadlets of the host-order TOPOLOGY_MAP into the big-endian image.
void PublishTopologyMapImage(OhciController* controller);

// Hands the records of `nodes` to the bus management thread in a BusEvent; without a thread or a
// BusEvent block the records go back to their list.
void QueueBusEvent(OhciController* controller, PLIST_ENTRY nodes);

// Returns every TopologyNode of a list to its lookaside list.
void FreeTopologyNodes(OhciController* controller, PLIST_ENTRY nodes);
// Frees a BusEvent with its TopologyNode records.
void FreeBusEvent(OhciController* controller, BusEvent* event);
// Discards every BusEvent still queued for the thread.
void DiscardQueuedBusEvents(OhciController* controller);
