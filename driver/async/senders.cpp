#include "senders.h"

#include "async_packet.h"
#include "core/controller.h"
#include "core/hooks.h"

NTSTATUS SendPhyPacket(OhciController* controller, ULONG quadlet, PUCHAR result) {
    AsyncPacket* packet = AllocatePacket(controller, 0);
    if (packet == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    async::BuiltPacket built;
    async::BuildPhyPacket(&built, quadlet);
    SetPacketHeader(packet, built, 0);
    packet->Generation = CurrentGeneration(controller);
    (void)SubmitAndWait(packet, false);
    *result = UCHAR(packet->PacketStatus);
    ReleasePacket(packet);
    return STATUS_SUCCESS;
}

NTSTATUS SendStreamPacket(OhciController* controller, UCHAR channel, UCHAR tag, UCHAR sy, UCHAR speed,
                          const UCHAR* data, ULONG length, PUCHAR result) {
    AsyncPacket* packet = AllocatePacket(controller, length);
    if (packet == nullptr) {
        *result = UCHAR(kPacketError);
        return STATUS_SUCCESS;
    }
    async::BuiltPacket built;
    async::BuildStreamPacket(&built, channel, tag, sy, length);
    SetPacketHeader(packet, built, 0);
    if (length != 0) RtlCopyMemory(packet->Payload, data, length);
    packet->Speed = speed;
    packet->Generation = CurrentGeneration(controller);
    LONG outcome = SubmitAndWait(packet, false);
    if ((outcome < 0 && packet->PacketStatus == kPacketOk) || (outcome == 0 && ClassifyOutcome(packet) < 0))
        packet->PacketStatus = kPacketError;
    *result = UCHAR(packet->PacketStatus);
    ReleasePacket(packet);
    return STATUS_SUCCESS;
}

bool SendPhyConfigurationPacket(OhciController* controller, ULONG quadlet) {
    UCHAR result = UCHAR(kPacketError);
    if (!NT_SUCCESS(SendPhyPacket(controller, quadlet, &result))) return false;
    return result == kPacketOk;
}
