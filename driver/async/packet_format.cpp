#include "packet_format.h"

namespace async {

namespace {

void Clear(BuiltPacket* out) {
    for (ULONG i = 0; i < kHeaderQuadlets; ++i) out->Header.Q[i] = 0;
    out->HeaderLength = 0;
    out->PayloadLength = 0;
    out->Tcode = 0;
    out->ResponseExpected = false;
}

void Request(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, ULONGLONG offset, UCHAR tcode) {
    Clear(out);
    out->Tcode = tcode;
    out->ResponseExpected = true;
    out->Header.Q[0] = Quadlet0(destination, label, tcode);
    out->Header.Q[1] = SourceQuadlet(localNode, USHORT((offset >> 32) & 0xFFFF));
    out->Header.Q[2] = ULONG(offset & 0xFFFFFFFFu);
}

void Response(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, UCHAR rcode, UCHAR tcode) {
    Clear(out);
    out->Tcode = tcode;
    out->Header.Q[0] = Quadlet0(destination, label, tcode);
    out->Header.Q[1] = (ULONG(kLocalBusSource | (localNode & 0x3F)) << 16) | (ULONG(rcode & 0xF) << 12);
}

}  // namespace

void BuildReadRequest(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, ULONGLONG offset,
                      ULONG length) {
    if (length == 4) {
        Request(out, destination, label, localNode, offset, kTcodeReadQuadlet);
        out->HeaderLength = 12;
        return;
    }
    Request(out, destination, label, localNode, offset, kTcodeReadBlock);
    out->Header.Q[3] = (length & 0xFFFF) << 16;
    out->HeaderLength = 16;
}

void BuildWriteRequest(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, ULONGLONG offset,
                       ULONG length, ULONG dataQuadlet) {
    if (length == 4) {
        Request(out, destination, label, localNode, offset, kTcodeWriteQuadlet);
        out->Header.Q[3] = dataQuadlet;
        out->HeaderLength = 16;
        return;
    }
    Request(out, destination, label, localNode, offset, kTcodeWriteBlock);
    out->Header.Q[3] = (length & 0xFFFF) << 16;
    out->HeaderLength = 16;
    out->PayloadLength = RoundUp4(length);
}

bool BuildLockRequest(BuiltPacket* out, PUCHAR payload, USHORT destination, UCHAR label, UCHAR localNode,
                      ULONGLONG offset, USHORT extendedTcode, ULONGLONG argValue, ULONGLONG dataValue,
                      bool operand64) {
    if (extendedTcode < kMaskSwap || extendedTcode > kWrapAdd) return false;
    Request(out, destination, label, localNode, offset, kTcodeLockRequest);
    ULONG width = operand64 ? 8 : 4;
    ULONG at = 0;
    auto store = [&](ULONGLONG value) {
        if (operand64) {
            StoreBus32(payload + at, ULONG(value >> 32));
            StoreBus32(payload + at + 4, ULONG(value));
        } else {
            StoreBus32(payload + at, ULONG(value));
        }
        at += width;
    };
    if (!LockSendsDataOnly(extendedTcode)) store(argValue);
    store(dataValue);
    out->Header.Q[3] = (at << 16) | extendedTcode;
    out->HeaderLength = 16;
    out->PayloadLength = at;
    return true;
}

void BuildWriteResponse(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, UCHAR rcode) {
    Response(out, destination, label, localNode, rcode, kTcodeWriteResponse);
    out->HeaderLength = 12;
}

void BuildReadQuadletResponse(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, UCHAR rcode,
                              ULONG dataQuadlet) {
    Response(out, destination, label, localNode, rcode, kTcodeReadQuadletResponse);
    out->Header.Q[3] = dataQuadlet;
    out->HeaderLength = 16;
}

void BuildReadBlockResponse(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, UCHAR rcode,
                            ULONG length) {
    Response(out, destination, label, localNode, rcode, kTcodeReadBlockResponse);
    ULONG n = rcode == 0 ? (length & 0xFFFF) : 0;
    out->Header.Q[3] = n << 16;
    out->HeaderLength = 16;
    out->PayloadLength = RoundUp4(n);
}

void BuildLockResponse(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, UCHAR rcode,
                       ULONG length, USHORT extendedTcode) {
    Response(out, destination, label, localNode, rcode, kTcodeLockResponse);
    out->Header.Q[3] = ((length & 0xFFFF) << 16) | extendedTcode;
    out->HeaderLength = 16;
    out->PayloadLength = RoundUp4(length);
}

void BuildStreamPacket(BuiltPacket* out, UCHAR channel, UCHAR tag, UCHAR sy, ULONG length) {
    Clear(out);
    out->Tcode = kTcodeStream;
    out->Header.Q[0] = ((length & 0xFFFF) << 16) | (ULONG(tag & 3) << 14) | (ULONG(channel & 0x3F) << 8) |
                       (ULONG(kTcodeStream) << 4) | (sy & 0xF);
    out->HeaderLength = 8;
    out->PayloadLength = RoundUp4(length & 0xFFFF);
}

void BuildPhyPacket(BuiltPacket* out, ULONG quadlet) {
    Clear(out);
    out->Tcode = kTcodePhy;
    out->Header.Q[0] = quadlet;
    out->Header.Q[1] = ~quadlet;
    out->HeaderLength = 8;
}

void AtImmediateQuadlets(const PacketHeader& h, UCHAR tcode, ULONG speed, ULONG* immediate) {
    for (ULONG i = 0; i < kHeaderQuadlets; ++i) immediate[i] = 0;
    if (tcode == kTcodePhy) {
        immediate[0] = ULONG(kTcodePhy) << 4;
        immediate[1] = h.Q[0];
        immediate[2] = h.Q[1];
        return;
    }
    immediate[0] = ((speed & 7) << 16) | (h.Q[0] & 0xFFFF);
    if (tcode == kTcodeStream) {
        immediate[1] = h.Q[0] & 0xFFFF0000u;
        return;
    }
    immediate[1] = (h.Q[0] & 0xFFFF0000u) | (h.Q[1] & 0xFFFF);
    immediate[2] = h.Q[2];
    immediate[3] = h.Q[3];
}

ULONG AtImmediateCount(UCHAR tcode, ULONG headerLength) { return tcode == kTcodePhy ? 12 : headerLength; }

ULONG ArPacketLength(ULONG tcode, ULONG quadlet3) {
    ULONG dataLength = quadlet3 >> 16;
    switch (tcode) {
    case kTcodeWriteQuadlet: return 20;
    case kTcodeWriteBlock: return RoundUp4(20 + dataLength);
    case kTcodeWriteResponse: return 16;
    case kTcodeReadQuadlet: return 16;
    case kTcodeReadBlock: return 20;
    case kTcodeReadQuadletResponse: return 20;
    case kTcodeReadBlockResponse: return RoundUp4(20 + dataLength);
    case kTcodeLockRequest: return RoundUp4(20 + dataLength);
    case kTcodeLockResponse: return RoundUp4(20 + dataLength);
    case kTcodePhy: return 16;
    default: return 0;
    }
}

}  // namespace async
