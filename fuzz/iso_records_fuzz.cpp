// The isochronous receive records as a program writes them (IOCTL_ISOCH_OPEN, the attach record
// and the buffer descriptors, 64- and 32-bit layouts) through the driver's pure readers, the
// stream's shape for direct DMA from an accepted open record, the bandwidth units, and the
// status a finished program's status quadlet gives.
//
// Checked: a reader refuses a short record and otherwise gives exactly the fields the public
// records of kx1394_records.h hold at their offsets (handles and addresses of the 32-bit layout
// widened as the driver widens them); an open record it accepts has every size in range. A shape
// that is accepted holds together: the data (and header) buffer is whole packets, every mapping
// chunk is whole packets within the adapter's map registers less one, a packet at the worst page
// offset fits the descriptor slots of its block (at most eight), the descriptor areas hold every
// packet; a refused one breaks one of those limits. Bandwidth grows with the payload and is the
// same above S3200 as at S3200; only the preset marker leaves a program unfinished.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "isoch/iso_records.h"
#include "kx1394.h"

namespace {

using namespace isorx;

template <typename T>
T Load(const std::vector<uint8_t>& bytes, size_t offset) {
    T v{};
    std::memcpy(&v, bytes.data() + offset, sizeof(T));
    return v;
}

ULONGLONG Widened(uint32_t handle) { return ULONGLONG(LONGLONG(int32_t(handle))); }

void CheckOpen(const std::vector<uint8_t>& record, bool is32) {
    OpenRecord open{};
    bool transmit = true;
    NTSTATUS status = ReadOpenRecord(record.data(), ULONG(record.size()), is32, &open, &transmit);
    if (record.size() < sizeof(Kx1394IsochOpen64)) {
        KXF_CHECK(status == STATUS_INVALID_PARAMETER && !transmit);
        return;
    }
    const uint32_t mode = Load<uint32_t>(record, offsetof(Kx1394IsochOpen64, Mode));
    KXF_CHECK(open.Mode == mode);
    KXF_CHECK(transmit == ((mode & KX1394_ISOCH_TRANSMIT) != 0));
    if (transmit) {
        KXF_CHECK(status == STATUS_SUCCESS);
        return;
    }
    KXF_CHECK(open.Key == Load<uint64_t>(record, offsetof(Kx1394IsochOpen64, StreamKey)));
    KXF_CHECK(open.Channel == record[offsetof(Kx1394IsochOpen64, Channel)]);
    KXF_CHECK(open.Speed == record[offsetof(Kx1394IsochOpen64, Speed)]);
    KXF_CHECK(open.HeaderQuadlets == Load<uint32_t>(record, offsetof(Kx1394IsochOpen64, HeaderQuadlets)));
    KXF_CHECK(open.PayloadQuadlets == Load<uint32_t>(record, offsetof(Kx1394IsochOpen64, PayloadQuadlets)));
    KXF_CHECK(open.Packets == Load<uint32_t>(record, offsetof(Kx1394IsochOpen64, Packets)));
    KXF_CHECK(open.EventHandle == (is32 ? Widened(Load<uint32_t>(record, offsetof(Kx1394IsochOpen32, Event)))
                                        : Load<uint64_t>(record, offsetof(Kx1394IsochOpen64, Event))));
    const bool inRange = open.Key != 0 && mode >= 1 && mode <= 3 && open.Speed <= kMaxSpeedCode &&
                         open.PayloadQuadlets * 4ull <= 8192 && open.Packets >= 1 && open.Packets <= 65536 &&
                         (mode == 1 || open.PayloadQuadlets != 0) && (mode != 3 || open.HeaderQuadlets * 4ull <= 4096);
    KXF_CHECK((status == STATUS_SUCCESS) == inRange);
    if (status != STATUS_SUCCESS) KXF_CHECK(status == STATUS_INVALID_PARAMETER);
}

void CheckAttach(const std::vector<uint8_t>& record, bool is32) {
    AttachRecord attach{};
    NTSTATUS status = ReadAttachRecord(record.data(), ULONG(record.size()), is32, &attach);
    if (record.size() < sizeof(Kx1394IsochAttach64)) {
        KXF_CHECK(status == STATUS_INVALID_PARAMETER);
        return;
    }
    const uint32_t count = is32 ? Load<uint32_t>(record, offsetof(Kx1394IsochAttach32, Count))
                                : Load<uint32_t>(record, offsetof(Kx1394IsochAttach64, Count));
    const uint64_t descriptors = is32 ? Load<uint32_t>(record, offsetof(Kx1394IsochAttach32, Descriptors))
                                      : Load<uint64_t>(record, offsetof(Kx1394IsochAttach64, Descriptors));
    KXF_CHECK(attach.Key == Load<uint64_t>(record, 0));
    KXF_CHECK(attach.Count == count && attach.Descriptors == descriptors);
    KXF_CHECK((status == STATUS_SUCCESS) == (count <= kMaxAttachCount && (count == 0 || descriptors != 0)));
}

void CheckBuffer(const std::vector<uint8_t>& raw, bool is32) {
    BufferRecord buffer{};
    NTSTATUS status = ReadBufferRecord(raw.data(), ULONG(raw.size()), is32, &buffer);
    const size_t bytes = is32 ? sizeof(Kx1394IsochBuffer32) : sizeof(Kx1394IsochBuffer64);
    if (raw.size() < bytes) {
        KXF_CHECK(status == STATUS_INVALID_PARAMETER);
        return;
    }
    const uint32_t syncKind = Load<uint32_t>(raw, offsetof(Kx1394IsochBuffer64, SyncKind));
    const uint32_t sync = Load<uint32_t>(raw, offsetof(Kx1394IsochBuffer64, Sync));
    KXF_CHECK(buffer.SyncKind == syncKind);
    KXF_CHECK(buffer.TimeoutMs == Load<uint16_t>(raw, offsetof(Kx1394IsochBuffer64, TimeoutMs)));
    KXF_CHECK(buffer.TagMask == (Load<uint32_t>(raw, offsetof(Kx1394IsochBuffer64, TagMask)) & 0xF));
    KXF_CHECK(buffer.HeaderBuffer == (is32 ? Load<uint32_t>(raw, offsetof(Kx1394IsochBuffer32, HeaderBuffer))
                                           : Load<uint64_t>(raw, offsetof(Kx1394IsochBuffer64, HeaderBuffer))));
    KXF_CHECK(buffer.DataBuffer == (is32 ? Load<uint32_t>(raw, offsetof(Kx1394IsochBuffer32, DataBuffer))
                                         : Load<uint64_t>(raw, offsetof(Kx1394IsochBuffer64, DataBuffer))));
    const bool syncOk = sync == KX1394_SYNC_NONE || syncKind == KX1394_SYNC_FIRST || syncKind == KX1394_SYNC_EVERY;
    KXF_CHECK((status == STATUS_SUCCESS) == syncOk);
    if (status == STATUS_SUCCESS) KXF_CHECK(buffer.Sync == (sync == KX1394_SYNC_NONE ? sync : (sync & 0xF)));
}

// The most pages `bytes` consecutive bytes touch when they start at the worst offset of a page.
ULONG WorstPages(ULONG bytes) { return bytes == 0 ? 0 : (kPageBytes - 1 + bytes - 1) / kPageBytes + 1; }

void CheckShape(const OpenRecord& open, ULONG streamBase, ULONG mapRegisters) {
    StreamShape shape{};
    NTSTATUS status = ShapeStream(open, streamBase, mapRegisters, &shape);
    const ULONG payload = open.PayloadQuadlets * 4;
    const ULONG packetBytes = open.Mode == 1 ? payload + 4 : payload;
    const ULONG headerBytes = open.Mode == 3 && open.HeaderQuadlets * 4 > 4 ? open.HeaderQuadlets * 4 : 4;
    const ULONGLONG room = mapRegisters >= 2 ? ULONGLONG(mapRegisters - 1) * kPageBytes : 0;
    const ULONGLONG dataTotal = ULONGLONG(packetBytes) * open.Packets;
    const ULONGLONG headerTotal = open.Mode == 3 ? ULONGLONG(headerBytes) * open.Packets : 0;
    const ULONG slots = WorstPages(packetBytes) + (open.Mode == 3 ? WorstPages(headerBytes) : 0) + 2;
    const bool possible = dataTotal != 0 && dataTotal <= kMaxBufferBytes && packetBytes <= room &&
                          headerTotal <= kMaxBufferBytes && (open.Mode != 3 || headerBytes <= room) &&
                          slots <= kMaxBlockDescriptors;
    KXF_CHECK((status == STATUS_SUCCESS) == possible);
    if (status != STATUS_SUCCESS) return;
    KXF_CHECK(shape.Mode == open.Mode && shape.PacketPerBuffer == (streamBase == 0 ? 1u : 0u));
    KXF_CHECK(shape.PayloadBytes == payload && shape.PacketBytes == packetBytes && shape.Packets == open.Packets);
    KXF_CHECK(shape.DataTotal == dataTotal);
    KXF_CHECK(shape.DataChunk != 0 && shape.DataChunk % packetBytes == 0 && shape.DataChunk <= room);
    KXF_CHECK(shape.DataChunk + packetBytes > room);  // as many whole packets as fit
    KXF_CHECK(shape.HeaderBytes == headerBytes);
    if (open.Mode == 3) {
        KXF_CHECK(shape.HeaderTotal == headerTotal);
        KXF_CHECK(shape.HeaderChunk != 0 && shape.HeaderChunk % headerBytes == 0 && shape.HeaderChunk <= room);
    } else {
        KXF_CHECK(shape.HeaderTotal == 0);
    }
    KXF_CHECK(shape.BlockSlots >= slots && shape.BlockSlots <= kMaxBlockDescriptors);
    KXF_CHECK(shape.PacketsPerPage >= 1 && shape.PacketsPerPage * shape.BlockSlots * 16 <= kPageBytes);
    KXF_CHECK(ULONGLONG(shape.AreaPages) * shape.PacketsPerPage >= open.Packets);
    KXF_CHECK(ULONGLONG(shape.AreaPages - 1) * shape.PacketsPerPage < open.Packets);
    KXF_CHECK(shape.DiscardBytes == (open.Mode == 2 ? 8u : 4u));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kxfuzz::Input in(data, size);
    const uint8_t choice = in.U8();
    const bool is32 = (choice & 1) != 0;
    const size_t length = (choice & 2) ? in.U8() % 48 : 40;
    std::vector<uint8_t> record = in.Bytes(length);
    record.resize(length, 0);
    // Mostly sizes a camera would use, so that the shape is reached.
    if ((choice & 4) && length >= 40) {
        record[8] = uint8_t(1 + in.U8() % 3);
        std::memset(&record[9], 0, 3);
        record[13] %= 3;
        if (record[0] == 0) record[0] = 1;
        uint32_t header = in.U16() % 1100, payload = in.U16() % 2100, packets = 1 + in.U16() % 70000;
        std::memcpy(&record[16], &header, 4);
        std::memcpy(&record[20], &payload, 4);
        std::memcpy(&record[24], &packets, 4);
    }
    CheckOpen(record, is32);
    CheckAttach(std::vector<uint8_t>(record.begin(), record.begin() + (length < 24 ? length : 24)), is32);
    CheckBuffer(record, is32);

    OpenRecord open{};
    bool transmit = false;
    if (length >= 40 && ReadOpenRecord(record.data(), ULONG(length), is32, &open, &transmit) == STATUS_SUCCESS &&
        !transmit) {
        const ULONG mapRegisters = in.U8() & 0x80 ? in.U16() % 20000 : in.U8() % 300;
        CheckShape(open, in.U8() & 1, mapRegisters);
    }

    const ULONG payload = in.U16() % 9000;
    const ULONG speed = in.U8() % 8;
    const ULONG units = BandwidthUnits(payload, speed);
    KXF_CHECK(units >= 3 && BandwidthUnits(payload + 4, speed) >= units);
    if (speed > 5) KXF_CHECK(units == BandwidthUnits(payload, 5));  // S3200 and above
    if (speed > 0 && speed <= 5) KXF_CHECK(BandwidthUnits(payload, speed - 1) >= units);

    const ULONG quadlet = in.U32();
    ULONG finished = 0xFFFFFFFF;
    const bool done = ProgramDone(quadlet, &finished);
    KXF_CHECK(done == ((quadlet >> 16) != 0x0011));
    if (done) {
        KXF_CHECK(finished == EventStatus((quadlet >> 16) & 0x1F));
        KXF_CHECK(finished == 0 || (finished >= 13 && finished <= 16));
    }
    return 0;
}
