// The user isochronous receive records read in both layouts, the sizing of a stream for direct
// DMA, and the completion test of a program's status quadlet: pure logic, against byte images of
// the public records (kx1394_records.h).
#include <gtest/gtest.h>

#include <cstring>

#include "isoch/iso_records.h"
#include "kx1394.h"

namespace {

using namespace isorx;

TEST(IsoRecords, OpenRecordInBothLayouts) {
    Kx1394IsochOpen64 wide = {};
    wide.StreamKey = 0x1122334455667788ull;
    wide.Mode = 3;
    wide.Channel = 7;
    wide.Speed = 1;
    wide.HeaderQuadlets = 2;
    wide.PayloadQuadlets = 250;
    wide.Packets = 10;
    wide.Event = 0x0000012345678ABCull;
    Kx1394IsochOpen32 narrow = {};
    narrow.StreamKey = wide.StreamKey;
    narrow.Mode = 3;
    narrow.Channel = 7;
    narrow.Speed = 1;
    narrow.HeaderQuadlets = 2;
    narrow.PayloadQuadlets = 250;
    narrow.Packets = 10;
    narrow.Event = 0xFFFFFF04u;   // a 32-bit handle: sign-extended
    OpenRecord a, b;
    bool transmit = true;
    ASSERT_EQ(ReadOpenRecord(reinterpret_cast<const UCHAR*>(&wide), 40, false, &a, &transmit), STATUS_SUCCESS);
    EXPECT_FALSE(transmit);
    ASSERT_EQ(ReadOpenRecord(reinterpret_cast<const UCHAR*>(&narrow), 40, true, &b, &transmit), STATUS_SUCCESS);
    EXPECT_EQ(a.Key, wide.StreamKey);
    EXPECT_EQ(b.Key, wide.StreamKey);
    EXPECT_EQ(a.EventHandle, wide.Event);
    EXPECT_EQ(b.EventHandle, 0xFFFFFFFFFFFFFF04ull);
    EXPECT_EQ(a.Channel, 7u);
    EXPECT_EQ(b.HeaderQuadlets, 2u);
    wide.Mode = KX1394_ISOCH_TRANSMIT | 1;
    EXPECT_EQ(ReadOpenRecord(reinterpret_cast<const UCHAR*>(&wide), 40, false, &a, &transmit), STATUS_SUCCESS);
    EXPECT_TRUE(transmit);
    EXPECT_EQ(ReadOpenRecord(reinterpret_cast<const UCHAR*>(&wide), 39, false, &a, &transmit), STATUS_INVALID_PARAMETER);
}

TEST(IsoRecords, AttachAndBufferRecordsInBothLayouts) {
    Kx1394IsochAttach32 narrow = {};
    narrow.StreamKey = 9;
    narrow.Descriptors = 0x80001000u;   // large-address-aware: zero-extended
    narrow.Count = 3;
    AttachRecord a;
    ASSERT_EQ(ReadAttachRecord(reinterpret_cast<const UCHAR*>(&narrow), 24, true, &a), STATUS_SUCCESS);
    EXPECT_EQ(a.Descriptors, 0x80001000ull);
    EXPECT_EQ(a.Count, 3u);
    narrow.Count = kMaxAttachCount + 1;
    EXPECT_EQ(ReadAttachRecord(reinterpret_cast<const UCHAR*>(&narrow), 24, true, &a), STATUS_INVALID_PARAMETER);

    Kx1394IsochBuffer64 wide = {};
    wide.SyncKind = KX1394_SYNC_EVERY;
    wide.TimeoutMs = 100;
    wide.Sync = 0x13;
    wide.TagMask = 0x1F;
    wide.HeaderBuffer = 0x1000;
    wide.DataBuffer = 0x7FFF00002000ull;
    BufferRecord r;
    ASSERT_EQ(ReadBufferRecord(reinterpret_cast<const UCHAR*>(&wide), 40, false, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.Sync, 3u);
    EXPECT_EQ(r.TagMask, 0xFu);
    EXPECT_EQ(r.TimeoutMs, 100);
    EXPECT_EQ(r.DataBuffer, wide.DataBuffer);
    wide.SyncKind = 3;   // a sync value needs kind 1 or 2
    EXPECT_EQ(ReadBufferRecord(reinterpret_cast<const UCHAR*>(&wide), 40, false, &r), STATUS_INVALID_PARAMETER);
    Kx1394IsochBuffer32 small = {};
    small.Sync = KX1394_SYNC_NONE;
    small.DataBuffer = 0x9000;
    ASSERT_EQ(ReadBufferRecord(reinterpret_cast<const UCHAR*>(&small), 28, true, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.DataBuffer, 0x9000u);
    EXPECT_EQ(r.Sync, kNoSync);
}

// Sizing for direct DMA with 17 map registers (one held back: 65536 bytes per mapping).
TEST(IsoRecords, StreamShapes) {
    struct Case {
        ULONG mode, streamBase, header, payload, packets;
        ULONG packetBytes, discard, chunk, slots;
    };
    const Case cases[] = {
        {1, 0, 0, 250, 10, 1004, 4, 65260, 4},      // 65 packets of 1004 bytes per mapping
        {2, 0, 0, 320, 240, 1280, 8, 65280, 4},
        {2, 1, 0, 320, 240, 1280, 8, 65280, 4},
        {3, 0, 3, 320, 240, 1280, 4, 65280, 6},     // header pieces as well
        {2, 0, 0, 2048, 8, 8192, 8, 65536, 5},
        {1, 0, 0, 0, 4, 4, 4, 65536, 4},            // mode 1 may carry headers only
    };
    for (const Case& c : cases) {
        OpenRecord open = {};
        open.Key = 1;
        open.Mode = c.mode;
        open.HeaderQuadlets = c.header;
        open.PayloadQuadlets = c.payload;
        open.Packets = c.packets;
        StreamShape shape;
        ASSERT_EQ(ShapeStream(open, c.streamBase, 17, &shape), STATUS_SUCCESS) << c.mode << " " << c.payload;
        EXPECT_EQ(shape.PacketBytes, c.packetBytes);
        EXPECT_EQ(shape.DiscardBytes, c.discard);
        EXPECT_EQ(shape.DataChunk, c.chunk);
        EXPECT_EQ(shape.BlockSlots, c.slots);
        EXPECT_EQ(shape.DataTotal, c.packetBytes * c.packets);
        EXPECT_EQ(shape.AreaPages, (c.packets + shape.PacketsPerPage - 1) / shape.PacketsPerPage);
    }
    OpenRecord open = {};
    open.Key = 1;
    open.Mode = 2;
    open.PayloadQuadlets = 2048;
    open.Packets = 1;
    StreamShape shape;
    EXPECT_EQ(ShapeStream(open, 0, 2, &shape), STATUS_INVALID_PARAMETER);   // one page cannot hold a packet
    EXPECT_EQ(BandwidthUnits(1000, 2), 1015u);
}

// Dual-buffer layouts: every packet's payload lands at k * D of the data area and its first part
// (time stamp, then H header bytes) at its own place in the header pages; a descriptor never
// crosses a data page and its first buffer holds exactly the first parts of the packets whose
// payload starts in its range, so it ends (first buffer full) when its last packet's payload does.
TEST(IsoRecords, DualBufferLayouts) {
    struct Case {
        ULONG header, payload, packets;
        ULONG descriptors, headerPages;
    };
    const Case cases[] = {
        {1, 320, 240, 75, 1},        // 640x480 Mono 8: 1280-byte packets, 8-byte first parts
        {1, 960, 240, 225, 1},       // 640x480 RGB 8: 3840-byte packets, one per page or across two
        {3, 1000, 1, 1, 1},          // a single packet in a single page
        {1, 2048, 8, 16, 1},         // 8192-byte packets: every other page has no packet start
        {1, 1, 2000, 4, 4},          // 4-byte packets: a header page fills before its data page
        {1023, 1, 3, 3, 3},          // a 4096-byte first part: one per header page
    };
    for (const Case& c : cases) {
        OpenRecord open = {};
        open.Key = 1;
        open.Mode = 3;
        open.HeaderQuadlets = c.header;
        open.PayloadQuadlets = c.payload;
        open.Packets = c.packets;
        StreamShape shape;
        ASSERT_EQ(ShapeStream(open, 1, 17, &shape), STATUS_SUCCESS) << c.payload;
        ASSERT_EQ(ShapeDualBuffer(&shape), STATUS_SUCCESS) << c.payload;
        const ULONG D = c.payload * 4;
        EXPECT_EQ(shape.FirstBytes, c.header * 4 + 4);
        EXPECT_EQ(shape.HeaderPages, c.headerPages) << c.payload;
        EXPECT_EQ(shape.Descriptors, c.descriptors) << c.payload;
        EXPECT_EQ(shape.AreaPages, (c.descriptors + 127) / 128);
        DualWalk walk(shape);
        DualSegment s;
        ULONG covered = 0, nextPacket = 0, descriptors = 0;
        while (walk.Next(&s)) {
            ++descriptors;
            EXPECT_EQ(s.DataOffset, covered);
            EXPECT_GT(s.DataBytes, 0u);
            EXPECT_EQ(s.DataOffset / 4096, (s.DataOffset + s.DataBytes - 1) / 4096) << "crosses a data page";
            ULONG starts = 0;
            for (ULONG k = nextPacket; k < c.packets && k * D < s.DataOffset + s.DataBytes; ++k) ++starts;
            EXPECT_EQ(s.FirstBytes, starts * shape.FirstBytes) << "at " << s.DataOffset;
            if (starts != 0) {
                EXPECT_EQ(s.HeaderOffset, DualHeaderOffset(shape, nextPacket));
                EXPECT_LE(s.HeaderOffset % 4096 + s.FirstBytes, 4096u) << "crosses a header page";
                const ULONG last = nextPacket + starts - 1;
                EXPECT_GE((last + 1) * D, s.DataOffset + s.DataBytes) << "the first buffer fills before the second";
            }
            nextPacket += starts;
            covered += s.DataBytes;
        }
        EXPECT_EQ(covered, D * c.packets);
        EXPECT_EQ(nextPacket, c.packets);
        EXPECT_EQ(descriptors, shape.Descriptors);
    }
    OpenRecord open = {};
    open.Key = 1;
    open.Mode = 3;
    open.HeaderQuadlets = 1024;   // 4096 header bytes and the time stamp: more than a page
    open.PayloadQuadlets = 1;
    open.Packets = 1;
    StreamShape shape;
    ASSERT_EQ(ShapeStream(open, 1, 17, &shape), STATUS_SUCCESS);
    EXPECT_EQ(ShapeDualBuffer(&shape), STATUS_INVALID_PARAMETER);
}

// The last DUALBUFFER descriptor's counts (firstResCount | secondResCount) against its preset.
TEST(IsoRecords, DualBufferProgramDone) {
    const ULONG firstSize = 8;
    struct Case {
        ULONG counts, preset;
        bool done;
    };
    const Case cases[] = {
        {0x00200800, 0x00200800, false},   // nothing stored yet
        {0x00100400, 0x00200800, false},   // two packets in, room for two more
        {0x00000000, 0x00200800, true},    // both full
        {0x00000100, 0x00200800, true},    // no room for another first part
        {0x00080000, 0x00200800, true},    // second buffer full
        {0x00000000, 0x00000800, true},    // no packet starts here: the spill filled it
        {0x00000800, 0x00000800, false},   // not reached yet
    };
    for (const Case& c : cases) EXPECT_EQ(DualProgramDone(c.counts, c.preset, firstSize), c.done) << std::hex << c.counts;
}

TEST(IsoRecords, ProgramStatusQuadlet) {
    struct Case {
        ULONG quadlet;
        bool done;
        ULONG status;
    };
    const Case cases[] = {
        {0x00110500, false, 0},   // the preset marker: nothing stored yet
        {0x84110000, true, 0},    // ack_complete, run and active
        {0x84110010, true, 0},    // a short last packet still ends the program
        {0x841D0000, true, 13},
        {0x84050000, true, 15},
        {0x84040000, true, 16},
        {0x84130000, true, 14},
        {0x84000000, true, 14},
    };
    for (const Case& c : cases) {
        ULONG status = 0xEE;
        EXPECT_EQ(ProgramDone(c.quadlet, &status), c.done) << std::hex << c.quadlet;
        if (c.done) {
            EXPECT_EQ(status, c.status) << std::hex << c.quadlet;
        }
    }
}

}  // namespace
