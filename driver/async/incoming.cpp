#include "incoming.h"

#include "async_packet.h"
#include "at_context.h"
#include "core/controller.h"
#include "core/hooks.h"
#include "lock_operation.h"
#include "packet_format.h"

namespace {

constexpr ULONG kLockOldValueRoom = 8;
constexpr ULONG kRcodeCounters[] = {0x0C, 0x10, 0x14, 0x18, 0x1C, 0x20};  // 0, 4, 5, 6, 7, other

// The request as the handler took it apart: its header, whether anybody waits for an answer, and
// the request record the answering stages see.
struct Received {
    ULONG Header[async::kHeaderQuadlets];
    bool Answer;      // neither broadcast nor acknowledged ack_complete
    bool Local;
    IncomingRequest Request;
};

void Finish(IncomingRequest* r, bool notify) {
    if (r->AfterResponse != nullptr) r->AfterResponse(r->AfterResponseContext, notify);
    r->AfterResponse = nullptr;
    if (r->ResponseEvent != nullptr) KeSetEvent(r->ResponseEvent, IO_NO_INCREMENT, FALSE);
    r->ResponseEvent = nullptr;
}

// Sends a response built for the request: its creation time for the transmit fallback, the
// source mark for the statistics, loopback when the request was the node's own.
void Send(const Received* in, AsyncPacket* response, const async::BuiltPacket& built, UCHAR source) {
    SetPacketHeader(response, built, response->Destination);
    response->ResponseSource = source;
    response->ResponseTime = ResponseTimeNow();
    if (in->Local) PacketSet(response, kPacketLocal);
    SendResponse(response);
}

UCHAR LocalNode(OhciController* controller) { return UCHAR(controller->LocalNodeNumber & 0x3F); }
USHORT Requester(const Received* in) { return USHORT(in->Header[1] >> 16); }
UCHAR LabelOf(const Received* in) { return UCHAR((in->Header[0] >> 10) & 0x3F); }

// The response of a write or a read quadlet, made once the answer is known (none for a request
// nobody waits on, or that gets no answer).
template <typename Build>
void AnswerWithoutPayload(OhciController* controller, const Received* in, LONG result, Build build) {
    if (!in->Answer || result < 0) return;
    AsyncPacket* response = CreateResponse(controller, in->Header, 0);
    if (response == nullptr) {
        CountStatistic(controller, kStatNoResponsePacket);
        return;
    }
    async::BuiltPacket built;
    build(&built);
    Send(in, response, built, in->Request.ResponseSource);
}

// Write quadlet and write block: answered with a write response unless nobody waits for one.
LONG HandleWrite(OhciController* controller, Received* in, bool dataPresent) {
    IncomingRequest* r = &in->Request;
    UCHAR unused[4] = {};
    r->Kind = 0;
    r->ResponseData = unused;
    r->ResponseDataBytes = 0;
    LONG result = dataPresent ? DispatchRequest(controller, r) : LONG(async::kRcodeDataError);
    if (!dataPresent) CountRcode(controller, result);
    AnswerWithoutPayload(controller, in, result, [&](async::BuiltPacket* built) {
        async::BuildWriteResponse(built, Requester(in), LabelOf(in), LocalNode(controller), UCHAR(result));
    });
    Finish(r, true);
    return result;
}

LONG HandleReadQuadlet(OhciController* controller, Received* in) {
    IncomingRequest* r = &in->Request;
    ULONG quadlet = 0;  // the four bytes in bus order
    r->Kind = 2;
    r->Length = 4;
    r->ResponseData = reinterpret_cast<PUCHAR>(&quadlet);
    r->ResponseDataBytes = 4;
    LONG result = DispatchRequest(controller, r);
    AnswerWithoutPayload(controller, in, result, [&](async::BuiltPacket* built) {
        async::BuildReadQuadletResponse(built, Requester(in), LabelOf(in), LocalNode(controller), UCHAR(result),
                                        result == 0 ? quadlet : 0);
    });
    Finish(r, true);
    return result;
}

// Read block: the response is made first and the answering stage reads into its payload. A
// length no response packet can carry is refused as a type error without asking anybody.
LONG HandleReadBlock(OhciController* controller, Received* in) {
    IncomingRequest* r = &in->Request;
    ULONG length = async::DataLength(*reinterpret_cast<const async::PacketHeader*>(in->Header));
    bool fits = length <= async::kMaxPayload;
    AsyncPacket* response = CreateResponse(controller, in->Header, fits ? length : 0);
    if (response == nullptr) {
        CountStatistic(controller, kStatNoResponsePacket);
        return kNoResponse;
    }
    r->Kind = 2;
    r->Length = length;
    r->ResponseData = response->Payload;
    r->ResponseDataBytes = fits ? length : 0;
    LONG result = LONG(async::kRcodeTypeError);
    if (fits) {
        result = DispatchRequest(controller, r);
    } else {
        r->ResponseSource = 2;
        CountRcode(controller, result);
    }
    if (in->Answer && result >= 0) {
        async::BuiltPacket built;
        async::BuildReadBlockResponse(&built, Requester(in), LabelOf(in), LocalNode(controller), UCHAR(result),
                                      length);
        Send(in, response, built, r->ResponseSource);
    } else {
        ReleasePacket(response);
    }
    Finish(r, true);
    return result;
}

// Lock: the old value is 4 or 8 bytes as data_length and the function say; a data_length no lock
// function takes gets resp_type_error without data (and nobody is asked).
LONG HandleLock(OhciController* controller, Received* in, bool dataPresent) {
    IncomingRequest* r = &in->Request;
    const auto& header = *reinterpret_cast<const async::PacketHeader*>(in->Header);
    USHORT extended = async::ExtendedTcodeOf(header);
    ULONG length = async::DataLength(header);
    AsyncPacket* response = CreateResponse(controller, in->Header, kLockOldValueRoom);
    if (response == nullptr) {
        CountStatistic(controller, kStatNoResponsePacket);
        return kNoResponse;
    }
    bool known = extended >= async::kMaskSwap && extended <= async::kWrapAdd;
    ULONG taken = known ? length : 0;
    ULONG answerBytes = taken == 4 || taken == 8 || taken == 16 ? async::LockOldValueBytes(extended, taken) : 0;
    if (answerBytes == 0 || !dataPresent) {
        LONG refused = LONG(answerBytes == 0 ? async::kRcodeTypeError : async::kRcodeDataError);
        CountRcode(controller, refused);
        if (in->Answer) {
            async::BuiltPacket built;
            async::BuildLockResponse(&built, Requester(in), LabelOf(in), LocalNode(controller), UCHAR(refused), 0,
                                     extended);
            Send(in, response, built, 0);
        } else {
            ReleasePacket(response);
        }
        return refused;
    }
    r->Kind = extended;
    r->Length = length;
    r->ResponseData = response->Payload;
    r->ResponseDataBytes = kLockOldValueRoom;
    LONG result = DispatchRequest(controller, r);
    if (in->Answer && result >= 0) {
        async::BuiltPacket built;
        async::BuildLockResponse(&built, Requester(in), LabelOf(in), LocalNode(controller), UCHAR(result),
                                 answerBytes, extended);
        Send(in, response, built, r->ResponseSource);
    } else {
        ReleasePacket(response);
    }
    Finish(r, true);
    return result;
}

}  // namespace

LONG HandleIncomingRequest(OhciController* controller, ULONG tcode, const UCHAR* packet, ULONG length,
                           bool ackedComplete, bool local) {
    ULONG headerBytes = tcode == async::kTcodeReadQuadlet ? 12 : 16;
    if (length < headerBytes) return kNoResponse;
    Received in;
    RtlZeroMemory(&in, sizeof(in));
    for (ULONG i = 0; i < headerBytes / 4; ++i) in.Header[i] = async::LoadLe32(packet + 4 * i);
    IncomingRequest* r = &in.Request;
    r->SourceId = USHORT(in.Header[1] >> 16);
    r->DestinationId = USHORT(in.Header[0] >> 16);
    r->Offset = (ULONGLONG(in.Header[1] & 0xFFFF) << 32) | in.Header[2];
    r->Tcode = UCHAR(tcode);
    r->HeaderLow = USHORT(in.Header[0] & 0xFFFF);
    r->AckedComplete = ackedComplete;
    r->Packet = packet;
    r->PacketLength = length;
    // Nobody waits for the answer to a broadcast or to a request the link acknowledged complete.
    in.Answer = !ackedComplete && (r->DestinationId & 0x3F) != 0x3F;
    in.Local = local;
    // The data block must be there as data_length says; a short one is a data error.
    ULONG dataLength = in.Header[3] >> 16;
    bool blockPresent = length - headerBytes >= dataLength;
    switch (tcode) {
    case async::kTcodeWriteQuadlet:
        r->Length = 4;
        r->RequestData = packet + 12;
        return HandleWrite(controller, &in, true);
    case async::kTcodeWriteBlock:
        r->Length = dataLength;
        r->RequestData = packet + 16;
        return HandleWrite(controller, &in, blockPresent);
    case async::kTcodeReadQuadlet: return HandleReadQuadlet(controller, &in);
    case async::kTcodeReadBlock: return HandleReadBlock(controller, &in);
    case async::kTcodeLockRequest:
        r->RequestData = packet + 16;
        return HandleLock(controller, &in, blockPresent);
    default: return kNoResponse;
    }
}

LONG DispatchRequest(OhciController* controller, IncomingRequest* r) {
    r->ResponseEvent = nullptr;
    r->AfterResponse = nullptr;
    r->AfterResponseContext = nullptr;
    LONG result = ServeKernelRanges(controller, r);
    r->ResponseSource = r->ResponseEvent != nullptr ? 1 : 2;
    if (result != async::kRcodeAddressError) return result;
    result = ServeLocalCsr(controller, r);
    if (result == async::kRcodeAddressError) result = ServeUserRanges(controller, r);
    if (r->ResponseSource == 2) CountRcode(controller, result);
    return result;
}

void DispatchOwnBroadcast(OhciController* controller, const AsyncPacket* packet) {
    if (packet->Tcode != async::kTcodeWriteQuadlet && packet->Tcode != async::kTcodeWriteBlock) return;
    auto* copy = static_cast<PUCHAR>(AllocateFromLookaside(&controller->PacketList));
    if (copy == nullptr) return;
    RtlCopyMemory(copy, packet->Header.Q, sizeof(packet->Header.Q));
    RtlCopyMemory(copy + packet->HeaderLength, packet->Payload, packet->PayloadLength);
    UCHAR unused[4] = {};
    IncomingRequest r;
    RtlZeroMemory(&r, sizeof(r));
    r.SourceId = USHORT(async::kLocalBusSource | LocalNode(controller));
    r.DestinationId = async::kBroadcastNode;
    r.Offset = (ULONGLONG(async::OffsetHigh(packet->Header)) << 32) | packet->Header.Q[2];
    r.Tcode = packet->Tcode;
    r.HeaderLow = USHORT(packet->Header.Q[0] & 0xFFFF);
    r.Kind = 0;
    bool quadlet = packet->Tcode == async::kTcodeWriteQuadlet;
    r.Length = quadlet ? 4 : async::DataLength(packet->Header);
    r.RequestData = copy + 12 + (quadlet ? 0 : 4);
    r.ResponseData = unused;
    r.AckedComplete = true;
    r.OwnBroadcast = true;
    r.Packet = copy;
    r.PacketLength = packet->HeaderLength + packet->PayloadLength;
    if (r.Length <= packet->PayloadLength || quadlet) {
        (void)DispatchRequest(controller, &r);
        // The node's own broadcast notifies nobody; a response event is set all the same.
        Finish(&r, false);
    }
    FreeToLookaside(&controller->PacketList, copy);
}

AsyncPacket* CreateResponse(OhciController* controller, const ULONG* request, ULONG payloadLength) {
    AsyncPacket* response = AllocatePacket(controller, payloadLength);
    if (response == nullptr) return nullptr;
    response->Destination = USHORT(request[1] >> 16);
    response->Label = UCHAR((request[0] >> 10) & 0x3F);
    PacketSet(response, kPacketUntracked);
    response->Generation = CurrentGeneration(controller);
    return response;
}

void CountStatistic(OhciController* controller, ULONG offset) {
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&controller->Statistics.Counters[offset / 4]));
}

void CountRcode(OhciController* controller, LONG rcode) {
    ULONG index = 5;
    switch (rcode) {
    case 0: index = 0; break;
    case 4: index = 1; break;
    case 5: index = 2; break;
    case 6: index = 3; break;
    case 7: index = 4; break;
    default: break;
    }
    CountStatistic(controller, kRcodeCounters[index]);
}
