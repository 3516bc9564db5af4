#include "iso_records.h"

namespace isorx {

namespace {

ULONG Load32(const UCHAR* p) { return ULONG(p[0]) | (ULONG(p[1]) << 8) | (ULONG(p[2]) << 16) | (ULONG(p[3]) << 24); }
ULONGLONG Load64(const UCHAR* p) { return ULONGLONG(Load32(p)) | (ULONGLONG(Load32(p + 4)) << 32); }

constexpr ULONG kMinimumHeaderBytes = 4;
constexpr ULONG kBlockEnds = 2;          // the scratch descriptor before a packet and the closing one
constexpr ULONG kDescriptorBytes = 16;
constexpr ULONG kIsochHeaderBytes = 4;   // the isochronous header quadlet (modes 1 and 2)

// The most scatter/gather elements `bytes` consecutive bytes can touch, one element per page.
ULONG MostPieces(ULONG bytes) { return bytes == 0 ? 0 : (bytes - 1 + kPageBytes - 1) / kPageBytes + 1; }

// The largest whole number of packets of `stride` bytes that one mapping can carry.
ULONG ChunkBytes(ULONG stride, ULONG mapRegisters) {
    if (stride == 0 || mapRegisters < 2) return 0;
    ULONGLONG room = ULONGLONG(mapRegisters - 1) * kPageBytes;
    return ULONG(room / stride * stride);
}

}  // namespace

NTSTATUS ReadOpenRecord(const UCHAR* input, ULONG length, bool is32bit, OpenRecord* out, bool* transmit) {
    *transmit = false;
    if (input == nullptr || length < kOpenRecordBytes) return STATUS_INVALID_PARAMETER;
    out->Key = Load64(input);
    out->Mode = Load32(input + 8);
    out->Channel = input[12];
    out->Speed = input[13];
    out->HeaderQuadlets = Load32(input + 16);
    out->PayloadQuadlets = Load32(input + 20);
    out->Packets = Load32(input + 24);
    out->EventHandle = is32bit ? ULONGLONG(LONGLONG(LONG(Load32(input + 28)))) : Load64(input + 32);
    out->StripBytes = 0;
    if (out->Mode & kModeTransmitBit) {
        *transmit = true;
        return STATUS_SUCCESS;
    }
    if (out->Key == 0 || out->Mode < 1 || out->Mode > 3) return STATUS_INVALID_PARAMETER;
    if (out->Speed > kMaxSpeedCode) return STATUS_INVALID_PARAMETER;
    if (out->PayloadQuadlets > kMaxPayloadBytes / 4 || out->Packets == 0 || out->Packets > kMaxPackets)
        return STATUS_INVALID_PARAMETER;
    if (out->Mode != 1 && out->PayloadQuadlets == 0) return STATUS_INVALID_PARAMETER;
    if (out->Mode == 3 && out->HeaderQuadlets > kMaxHeaderBytes / 4) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS ReadAttachRecord(const UCHAR* input, ULONG length, bool is32bit, AttachRecord* out) {
    if (input == nullptr || length < kAttachRecordBytes) return STATUS_INVALID_PARAMETER;
    out->Key = Load64(input);
    out->Descriptors = is32bit ? Load32(input + 8) : Load64(input + 8);
    out->Count = is32bit ? Load32(input + 12) : Load32(input + 16);
    if (out->Count > kMaxAttachCount) return STATUS_INVALID_PARAMETER;
    if (out->Count != 0 && out->Descriptors == 0) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS ReadBufferRecord(const UCHAR* raw, ULONG length, bool is32bit, BufferRecord* out) {
    if (raw == nullptr || length < (is32bit ? kBuffer32Bytes : kBuffer64Bytes)) return STATUS_INVALID_PARAMETER;
    out->SyncKind = Load32(raw + 4);
    out->TimeoutMs = USHORT(raw[8] | (raw[9] << 8));
    out->Sync = Load32(raw + 12);
    out->TagMask = Load32(raw + 16) & 0xF;
    out->HeaderBuffer = is32bit ? Load32(raw + 20) : Load64(raw + 24);
    out->DataBuffer = is32bit ? Load32(raw + 24) : Load64(raw + 32);
    if (out->Sync != kNoSync) {
        if (out->SyncKind != 1 && out->SyncKind != 2) return STATUS_INVALID_PARAMETER;
        out->Sync &= 0xF;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ShapeStream(const OpenRecord& open, ULONG streamBase, ULONG mapRegisters, StreamShape* out) {
    RtlZeroMemory(out, sizeof(*out));
    out->Mode = open.Mode;
    out->PacketPerBuffer = streamBase == 0 ? 1 : 0;
    out->PayloadBytes = open.PayloadQuadlets * 4;
    out->Packets = open.Packets;
    out->HeaderBytes = kMinimumHeaderBytes;
    if (open.Mode == 3 && open.HeaderQuadlets * 4 > kMinimumHeaderBytes) out->HeaderBytes = open.HeaderQuadlets * 4;
    ULONG D = out->PayloadBytes;
    switch (open.Mode) {
    case 1:
        if (open.StripBytes > D || open.StripBytes % 4 != 0) return STATUS_INVALID_PARAMETER;
        out->PacketBytes = D + kIsochHeaderBytes - open.StripBytes;
        out->DiscardBytes = 4 + open.StripBytes;
        break;
    case 2: out->PacketBytes = D; out->DiscardBytes = 8; break;
    default: out->PacketBytes = D; out->DiscardBytes = 4; break;
    }
    // What a packet's program discards goes to the stream's one page of scratch.
    if (out->DiscardBytes > kPageBytes) return STATUS_INVALID_PARAMETER;
    ULONGLONG dataTotal = ULONGLONG(out->PacketBytes) * out->Packets;
    if (dataTotal == 0 || dataTotal > kMaxBufferBytes) return STATUS_INVALID_PARAMETER;
    out->DataTotal = ULONG(dataTotal);
    out->DataChunk = ChunkBytes(out->PacketBytes, mapRegisters);
    if (out->DataChunk == 0) return STATUS_INVALID_PARAMETER;
    ULONG pieces = MostPieces(out->PacketBytes);
    if (open.Mode == 3) {
        ULONGLONG headerTotal = ULONGLONG(out->HeaderBytes) * out->Packets;
        if (headerTotal > kMaxBufferBytes) return STATUS_INVALID_PARAMETER;
        out->HeaderTotal = ULONG(headerTotal);
        out->HeaderChunk = ChunkBytes(out->HeaderBytes, mapRegisters);
        if (out->HeaderChunk == 0) return STATUS_INVALID_PARAMETER;
        pieces += MostPieces(out->HeaderBytes);
    }
    out->BlockSlots = pieces + kBlockEnds;
    if (out->BlockSlots > kMaxBlockDescriptors) return STATUS_INVALID_PARAMETER;
    out->PacketsPerPage = kPageBytes / (kDescriptorBytes * out->BlockSlots);
    out->AreaPages = (out->Packets + out->PacketsPerPage - 1) / out->PacketsPerPage;
    return STATUS_SUCCESS;
}

bool DualWalk::Next(DualSegment* out) {
    const ULONG total = shape_.DataTotal;
    const ULONG payload = shape_.PacketBytes;
    if (position_ >= total) return false;
    const ULONG pageEnd = (position_ / kPageBytes + 1) * kPageBytes < total ? (position_ / kPageBytes + 1) * kPageBytes
                                                                              : total;
    ULONG end = pageEnd;
    out->HeaderOffset = 0;
    out->FirstBytes = 0;
    const ULONG first = (position_ + payload - 1) / payload;   // the first packet starting here
    if (first < shape_.Packets && ULONGLONG(first) * payload < pageEnd) {
        ULONG last = (pageEnd - 1) / payload;
        if (last > shape_.Packets - 1) last = shape_.Packets - 1;
        const ULONG headerPage = first / shape_.FirstPartsPerPage;
        const ULONG lastOnHeaderPage = (headerPage + 1) * shape_.FirstPartsPerPage - 1;
        if (lastOnHeaderPage < last) {
            last = lastOnHeaderPage;
            end = (last + 1) * payload;
        }
        out->FirstBytes = (last - first + 1) * shape_.FirstBytes;
        out->HeaderOffset = DualHeaderOffset(shape_, first);
    }
    out->DataOffset = position_;
    out->DataBytes = end - position_;
    position_ = end;
    return true;
}

NTSTATUS ShapeDualBuffer(StreamShape* shape) {
    constexpr ULONG kTimeStampBytes = 4;
    constexpr ULONG kDualDescriptorBytes = 32;
    const ULONG first = shape->HeaderBytes + kTimeStampBytes;
    if (shape->Mode != 3 || first > kPageBytes || shape->PacketBytes == 0) return STATUS_INVALID_PARAMETER;
    shape->DualBuffer = 1;
    shape->PacketPerBuffer = 0;
    shape->FirstBytes = first;
    shape->FirstPartsPerPage = kPageBytes / first;
    shape->HeaderPages = (shape->Packets + shape->FirstPartsPerPage - 1) / shape->FirstPartsPerPage;
    DualWalk walk(*shape);
    DualSegment segment;
    ULONG descriptors = 0;
    while (walk.Next(&segment)) ++descriptors;
    shape->Descriptors = descriptors;
    const ULONG perPage = kPageBytes / kDualDescriptorBytes;
    shape->AreaPages = (descriptors + perPage - 1) / perPage;
    return STATUS_SUCCESS;
}

ULONG DualHeaderOffset(const StreamShape& shape, ULONG packet) {
    return packet / shape.FirstPartsPerPage * kPageBytes + packet % shape.FirstPartsPerPage * shape.FirstBytes;
}

bool DualProgramDone(ULONG countQuadlet, ULONG preset, ULONG firstSize) {
    if (countQuadlet == preset) return false;
    return (countQuadlet & 0xFFFF) == 0 || (countQuadlet >> 16) < firstSize;
}

ULONG BandwidthUnits(ULONG payloadBytes, ULONG speed) {
    constexpr ULONG kS1600 = 4;
    constexpr ULONG kS3200 = 5;
    ULONG quadlets = (payloadBytes + 15) >> 2;
    if (speed >= kS3200) return ((quadlets + 1) >> 1) + 3;
    return (quadlets << (kS1600 - speed)) + 3;
}

ULONG EventStatus(ULONG eventCode) {
    if (eventCode == 0x11) return 0;
    if (eventCode == 0x1D) return 13;
    if (eventCode == 0x05) return 15;
    if (eventCode == 0x04) return 16;
    return 14;
}

bool ProgramDone(ULONG statusQuadlet, ULONG* status) {
    constexpr ULONG kMarker = 0x0011;
    ULONG xferStatus = statusQuadlet >> 16;
    if (xferStatus == kMarker) return false;
    *status = EventStatus(xferStatus & 0x1F);
    return true;
}

}  // namespace isorx
