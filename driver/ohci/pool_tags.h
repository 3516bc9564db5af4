// Four-character pool tags of the controller's lookaside lists and buffers.
#pragma once

#include "kxplatform.h"

constexpr ULONG kTagAsyncPacket = KX_TAG('Z', 'O', 'P', 'P');      // AsyncPacket + 4096-byte payload area
constexpr ULONG kTagBusNotification = KX_TAG('Z', 'O', 'B', 'E');  // bus notification records
constexpr ULONG kTagEventBlock = KX_TAG('E', 'v', 'n', 't');       // kernel event blocks
constexpr ULONG kTagAddressRange = KX_TAG('Z', 'O', 'R', 'T');     // address range records
constexpr ULONG kTagIncomingRequest = KX_TAG('Z', 'O', 'I', 'C');  // 4096-byte incoming request buffers
constexpr ULONG kTagRangeDelivery = KX_TAG('Z', 'O', 'I', 'T');    // range delivery nodes
constexpr ULONG kTagTopologyNode = KX_TAG('Z', 's', 'p', 'N');     // TopologyNode records
constexpr ULONG kTagBusEvent = KX_TAG('Z', 's', 'p', 'M');         // BusEvent records
constexpr ULONG kTagArTables = KX_TAG('Z', 'O', 'A', 'R');         // AR address tables, reassembly buffer
constexpr ULONG kTagAtTables = KX_TAG('Z', 'O', 'A', 'T');         // AT address tables
constexpr ULONG kTagControllerPlain = KX_TAG('Z', 'O', 'S', 'P');  // plain buffers
constexpr ULONG kTagClientRecord = KX_TAG('Z', 'O', 'P', 'I');     // client records
constexpr ULONG kTagIsoRxRecord = KX_TAG('Z', 'O', 'I', 'D');      // receive stream and buffer records
constexpr ULONG kTagIsoAreaPages = KX_TAG('Z', 'O', 'D', 'A');     // descriptor area page arrays
constexpr ULONG kTagIsoMappings = KX_TAG('Z', 'O', 'I', 'M');      // per-buffer MDL and list arrays
constexpr ULONG kTagIsoRing = KX_TAG('Z', 'O', 'R', 'I');          // copy-mode ring pages and their lists
constexpr ULONG kTagIsoCopySlot = KX_TAG('Z', 'O', 'C', 'P');      // copy-mode frame queue slots

// The nine bus device and class-interface lists, ZB17 to ZB25.
constexpr ULONG BusListTag(ULONG index) {
    return KX_TAG('Z', 'B', '0' + (17 + index) / 10, '0' + (17 + index) % 10);
}
