// Pure logic of the asynchronous formats: the packet builders against header quadlets worked out
// by hand from IEEE 1394-1995 6.2 (tables 6-2 to 6-4), the OHCI 1.1 AT immediate quadlets (7.8)
// and AR lengths (8.7), the response expiry stamp, and the walk of AR buffers in buffer-fill mode.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "async/ar_walk.h"
#include "async/packet_format.h"
#include "frame/user_async.h"
#include "kx1394.h"

namespace {

using namespace async;

constexpr USHORT kNode2 = 0xFFC2;
constexpr UCHAR kLocal = 1;  // source_ID 0xFFC1
constexpr ULONGLONG kOffset = 0xFFFFF0000400ull;

struct RequestCase {
    const char* name;
    bool write;
    ULONG length;
    UCHAR tcode;
    ULONG headerLength;
    ULONG payloadLength;
    ULONG q3;
};

// Quadlet against block tcodes by length; block payloads padded to a quadlet.
const RequestCase kRequestCases[] = {
    {"readQuadlet", false, 4, kTcodeReadQuadlet, 12, 0, 0},
    {"readBlock0", false, 0, kTcodeReadBlock, 16, 0, 0},
    {"readBlock8", false, 8, kTcodeReadBlock, 16, 0, 8u << 16},
    {"readBlock3", false, 3, kTcodeReadBlock, 16, 0, 3u << 16},
    {"writeQuadlet", true, 4, kTcodeWriteQuadlet, 16, 0, 0x11223344},
    {"writeBlock5", true, 5, kTcodeWriteBlock, 16, 8, 5u << 16},
    {"writeBlock0", true, 0, kTcodeWriteBlock, 16, 0, 0},
    {"writeBlock2048", true, 2048, kTcodeWriteBlock, 16, 2048, 2048u << 16},
};

TEST(PacketFormatTest, RequestsByLength) {
    for (const RequestCase& c : kRequestCases) {
        SCOPED_TRACE(c.name);
        BuiltPacket p;
        if (c.write)
            BuildWriteRequest(&p, kNode2, 5, kLocal, kOffset, c.length, 0x11223344);
        else
            BuildReadRequest(&p, kNode2, 5, kLocal, kOffset, c.length);
        EXPECT_EQ(p.Tcode, c.tcode);
        EXPECT_EQ(p.HeaderLength, c.headerLength);
        EXPECT_EQ(p.PayloadLength, c.payloadLength);
        EXPECT_TRUE(p.ResponseExpected);
        // destination, tl 5, rt 1, tcode, pri 0
        EXPECT_EQ(p.Header.Q[0], 0xFFC20000u | (5u << 10) | 0x100u | (ULONG(c.tcode) << 4));
        EXPECT_EQ(p.Header.Q[1], 0xFFC1FFFFu);
        EXPECT_EQ(p.Header.Q[2], 0xF0000400u);
        EXPECT_EQ(p.Header.Q[3], c.q3);
    }
}

struct LockCase {
    USHORT extendedTcode;
    bool wide;
    std::vector<UCHAR> payload;  // bus order
};

// arg_value then data_value, except fetch_add and little_add (data_value alone).
const LockCase kLockCases[] = {
    {kMaskSwap, false, {0xA1, 0xA2, 0xA3, 0xA4, 0xD1, 0xD2, 0xD3, 0xD4}},
    {kCompareSwap, false, {0xA1, 0xA2, 0xA3, 0xA4, 0xD1, 0xD2, 0xD3, 0xD4}},
    {kFetchAdd, false, {0xD1, 0xD2, 0xD3, 0xD4}},
    {kLittleAdd, false, {0xD1, 0xD2, 0xD3, 0xD4}},
    {kBoundedAdd, false, {0xA1, 0xA2, 0xA3, 0xA4, 0xD1, 0xD2, 0xD3, 0xD4}},
    {kWrapAdd, false, {0xA1, 0xA2, 0xA3, 0xA4, 0xD1, 0xD2, 0xD3, 0xD4}},
    {kMaskSwap, true, {0xA0, 0, 0, 0, 0xA1, 0xA2, 0xA3, 0xA4, 0xD0, 0, 0, 0, 0xD1, 0xD2, 0xD3, 0xD4}},
    {kCompareSwap, true, {0xA0, 0, 0, 0, 0xA1, 0xA2, 0xA3, 0xA4, 0xD0, 0, 0, 0, 0xD1, 0xD2, 0xD3, 0xD4}},
    {kFetchAdd, true, {0xD0, 0, 0, 0, 0xD1, 0xD2, 0xD3, 0xD4}},
    {kLittleAdd, true, {0xD0, 0, 0, 0, 0xD1, 0xD2, 0xD3, 0xD4}},
    {kBoundedAdd, true, {0xA0, 0, 0, 0, 0xA1, 0xA2, 0xA3, 0xA4, 0xD0, 0, 0, 0, 0xD1, 0xD2, 0xD3, 0xD4}},
    {kWrapAdd, true, {0xA0, 0, 0, 0, 0xA1, 0xA2, 0xA3, 0xA4, 0xD0, 0, 0, 0, 0xD1, 0xD2, 0xD3, 0xD4}},
};

TEST(PacketFormatTest, LockPayloadsPerExtendedTcode) {
    for (const LockCase& c : kLockCases) {
        SCOPED_TRACE(testing::Message() << "extended tcode " << c.extendedTcode << (c.wide ? " 64-bit" : " 32-bit"));
        ULONGLONG arg = c.wide ? 0xA0000000A1A2A3A4ull : 0xA1A2A3A4ull;
        ULONGLONG data = c.wide ? 0xD0000000D1D2D3D4ull : 0xD1D2D3D4ull;
        UCHAR payload[16] = {};
        BuiltPacket p;
        ASSERT_TRUE(BuildLockRequest(&p, payload, kNode2, 9, kLocal, kOffset, c.extendedTcode, arg, data, c.wide));
        EXPECT_EQ(p.Tcode, kTcodeLockRequest);
        EXPECT_EQ(p.Header.Q[3], (ULONG(c.payload.size()) << 16) | c.extendedTcode);
        ASSERT_EQ(p.PayloadLength, c.payload.size());
        EXPECT_EQ(std::vector<UCHAR>(payload, payload + p.PayloadLength), c.payload);
    }
    UCHAR payload[16];
    BuiltPacket p;
    EXPECT_FALSE(BuildLockRequest(&p, payload, kNode2, 9, kLocal, kOffset, 0, 1, 2, false));
    EXPECT_FALSE(BuildLockRequest(&p, payload, kNode2, 9, kLocal, kOffset, 7, 1, 2, false));
}

TEST(PacketFormatTest, ResponsesStreamAndPhyPackets) {
    BuiltPacket p;
    // A read block response with an error rcode carries no data, whatever was asked.
    BuildReadBlockResponse(&p, kNode2, 3, kLocal, 7, 512);
    EXPECT_EQ(p.Header.Q[0], 0xFFC20000u | (3u << 10) | 0x170u);
    EXPECT_EQ(p.Header.Q[1], 0xFFC17000u);
    EXPECT_EQ(p.Header.Q[3], 0u);
    EXPECT_EQ(p.PayloadLength, 0u);
    BuildReadBlockResponse(&p, kNode2, 3, kLocal, 0, 5);
    EXPECT_EQ(p.Header.Q[3], 5u << 16);
    EXPECT_EQ(p.PayloadLength, 8u);
    BuildWriteResponse(&p, kNode2, 3, kLocal, 4);
    EXPECT_EQ(p.Header.Q[0] & 0xFFFF, (3u << 10) | 0x120u);
    EXPECT_EQ(p.HeaderLength, 12u);
    BuildLockResponse(&p, kNode2, 3, kLocal, 0, 8, kCompareSwap);
    EXPECT_EQ(p.Header.Q[3], (8u << 16) | 2u);

    // Stream: length<<16 | tag<<14 | channel<<8 | 0xA0 | sy; no response.
    BuildStreamPacket(&p, 5, 1, 3, 6);
    EXPECT_EQ(p.Header.Q[0], (6u << 16) | (1u << 14) | (5u << 8) | 0xA0u | 3u);
    EXPECT_EQ(p.HeaderLength, 8u);
    EXPECT_EQ(p.PayloadLength, 8u);
    EXPECT_FALSE(p.ResponseExpected);
    ULONG immediate[4];
    AtImmediateQuadlets(p.Header, p.Tcode, 2, immediate);
    EXPECT_EQ(immediate[0], (2u << 16) | (1u << 14) | (5u << 8) | 0xA0u | 3u);
    EXPECT_EQ(immediate[1], 6u << 16);

    // PHY packet: the quadlet and its inverse behind tcode 0xE, 12 bytes of header.
    BuildPhyPacket(&p, 0x007F0000);
    AtImmediateQuadlets(p.Header, p.Tcode, 0, immediate);
    EXPECT_EQ(immediate[0], 0xE0u);
    EXPECT_EQ(immediate[1], 0x007F0000u);
    EXPECT_EQ(immediate[2], 0xFF80FFFFu);
    EXPECT_EQ(AtImmediateCount(p.Tcode, p.HeaderLength), 12u);

    // A primary packet: speed and the low half of quadlet 0, then destination and offset_high.
    BuildReadRequest(&p, kNode2, 5, kLocal, kOffset, 4);
    AtImmediateQuadlets(p.Header, p.Tcode, 2, immediate);
    EXPECT_EQ(immediate[0], 0x00021540u);
    EXPECT_EQ(immediate[1], 0xFFC2FFFFu);
    EXPECT_EQ(immediate[2], 0xF0000400u);
}

TEST(PacketFormatTest, ResponseExpiryAcrossTheCycleSecondsWrap) {
    auto timer = [](ULONG seconds, ULONG count) { return (seconds << 25) | (count << 12) | 0x123; };
    EXPECT_EQ(ResponseExpiry(timer(0, 0)), USHORT(1u << 13));
    EXPECT_EQ(ResponseExpiry(timer(6, 7999)), USHORT((7u << 13) | 7999));
    EXPECT_EQ(ResponseExpiry(timer(7, 1234)), USHORT(1234));     // seconds 7 wraps to 0
    EXPECT_EQ(ResponseExpiry(timer(15, 42)), USHORT(42));        // only 3 bits of seconds count
    EXPECT_EQ(ResponseExpiry(timer(127, 5)), USHORT(5));
}

TEST(PacketFormatTest, ArLengthsByTcode) {
    const struct {
        ULONG tcode, q3, length;
    } cases[] = {{0, 0, 20},           {1, 5u << 16, 28},  {2, 0, 16},        {4, 0, 16},
                 {5, 0x10u << 16, 20}, {6, 0, 20},         {7, 2048u << 16, 2068}, {9, 8u << 16, 28},
                 {11, 4u << 16, 24},   {14, 0, 16},        {3, 0, 0},         {8, 0, 0},
                 {10, 0, 0},           {12, 0, 0},         {13, 0, 0},        {15, 0, 0}};
    for (const auto& c : cases) EXPECT_EQ(ArPacketLength(c.tcode, c.q3), c.length) << "tcode " << c.tcode;
}

// The asynchronous request record in both layouts, filled through the public header's records:
// 32-bit addresses are zero-extended (a large-address-aware program's lie above 2 GiB), handles
// sign-extended, and 32-bit operands take the low half only.
TEST(AsyncRecordTest, BothLayouts) {
    Kx1394AsyncIo64 wide = {};
    wide.DestinationNode = 0xFFC3;
    wide.Offset = 0xABCDFFFFF0000400ull;  // bits above 47 are not part of the offset
    wide.Length = 8;
    wide.Event = 0x0000000000000124ull;
    wide.Data = 0x00007FF000001000ull;
    wide.StatusOut = 0x00007FF000002000ull;
    wide.AckOut = 0x00007FF000002004ull;
    wide.RcodeOut = 0x00007FF000002005ull;
    wide.ExtendedTcode = 2;
    wide.ArgValue = 0x1122334455667788ull;
    wide.DataValue = 0x99AABBCCDDEEFF00ull;
    wide.Operand64 = 1;
    AsyncRecord r;
    ReadAsyncRecord(reinterpret_cast<const UCHAR*>(&wide), false, &r);
    EXPECT_EQ(r.DestinationNode, 0xFFC3);
    EXPECT_EQ(r.Offset, 0xFFFFF0000400ull);
    EXPECT_EQ(r.Length, 8u);
    EXPECT_EQ(r.Event, reinterpret_cast<HANDLE>(ULONG_PTR(0x124)));
    EXPECT_EQ(r.Data, wide.Data);
    EXPECT_EQ(r.Out[0], wide.StatusOut);
    EXPECT_EQ(r.Out[1], wide.AckOut);
    EXPECT_EQ(r.Out[2], wide.RcodeOut);
    EXPECT_EQ(r.ExtendedTcode, 2);
    EXPECT_TRUE(r.Operand64);
    EXPECT_EQ(r.ArgValue, wide.ArgValue);
    EXPECT_EQ(r.DataValue, wide.DataValue);

    Kx1394AsyncIo32 narrow = {};
    narrow.DestinationNode = 0xFFC1;
    narrow.Offset = 0xFFFFF0010000ull;
    narrow.Length = 4;
    narrow.Event = 0xFFFFFFFCu;  // a handle of a 32-bit program: sign-extended
    narrow.Data = 0x80001000u;   // above 2 GiB: zero-extended
    narrow.StatusOut = 0x80002000u;
    narrow.AckOut = 0x80002004u;
    narrow.RcodeOut = 0x80002005u;
    narrow.ExtendedTcode = 3;
    narrow.ArgValue = 0xFFFFFFFF00000001ull;
    narrow.DataValue = 0xEEEEEEEE00000005ull;
    narrow.Operand64 = 0;
    ReadAsyncRecord(reinterpret_cast<const UCHAR*>(&narrow), true, &r);
    EXPECT_EQ(r.DestinationNode, 0xFFC1);
    EXPECT_EQ(r.Offset, 0xFFFFF0010000ull);
    EXPECT_EQ(r.Event, reinterpret_cast<HANDLE>(LONG_PTR(-4)));
    EXPECT_EQ(r.Data, 0x80001000ull);
    EXPECT_EQ(r.Out[0], 0x80002000ull);
    EXPECT_EQ(r.Out[1], 0x80002004ull);
    EXPECT_EQ(r.Out[2], 0x80002005ull);
    EXPECT_EQ(r.ExtendedTcode, 3);
    EXPECT_FALSE(r.Operand64);
    EXPECT_EQ(r.ArgValue, 1u);
    EXPECT_EQ(r.DataValue, 5u);
}

// --- The AR walk -----------------------------------------------------------------------------------

constexpr ULONG kSmall = 64;  // small buffers keep the byte images readable

struct Ring {
    std::vector<std::vector<UCHAR>> buffers;
    ArRing view{};
    explicit Ring(ULONG count, ULONG size = kSmall) : buffers(count, std::vector<UCHAR>(size, 0xEE)) {
        view.Count = count;
        view.BufferSize = size;
        for (ULONG i = 0; i < count; ++i) view.Buffers[i] = buffers[i].data();
    }
    // Writes the stream of bytes from buffer `b` offset `o` on, straddling as the controller does,
    // and marks how far each buffer is filled.
    void Put(ULONG b, ULONG o, const std::vector<UCHAR>& bytes) {
        for (UCHAR v : bytes) {
            buffers[b][o++] = v;
            view.Filled[b] = o;
            if (o == view.BufferSize) {
                b = (b + 1) % view.Count;
                o = 0;
            }
        }
    }
};

void PutLe(std::vector<UCHAR>* out, ULONG v) {
    for (int i = 0; i < 4; ++i) out->push_back(UCHAR(v >> (8 * i)));
}

// A write block request as the controller stores it: four header quadlets, data, trailer.
std::vector<UCHAR> WriteBlockImage(ULONG dataLength, UCHAR fill) {
    std::vector<UCHAR> bytes;
    PutLe(&bytes, 0xFFC10000u | (1u << 4));
    PutLe(&bytes, 0xFFC2FFFFu);
    PutLe(&bytes, 0xF0000000u);
    PutLe(&bytes, dataLength << 16);
    for (ULONG i = 0; i < ((dataLength + 3) & ~3u); ++i) bytes.push_back(i < dataLength ? fill : 0);
    PutLe(&bytes, 0x00110000u);  // ack_complete
    return bytes;
}

TEST(ArWalkTest, HeaderQuadletThreeInTheNextBuffer) {
    Ring ring(4);
    std::vector<UCHAR> packet = WriteBlockImage(8, 0x5A);  // 28 bytes
    ring.Put(0, 52, packet);                              // quadlet 3 starts at 64: buffer 1
    ArPosition position{0, 52};
    UCHAR copy[256];
    ULONG length = 0, finished = 0;
    ASSERT_EQ(ArNextPacket(ring.view, &position, copy, sizeof(copy), &length, &finished), kArPacket);
    EXPECT_EQ(length, 28u);
    EXPECT_EQ(finished, 1u);
    EXPECT_EQ(position.Buffer, 1u);
    EXPECT_EQ(position.Offset, 16u);
    EXPECT_EQ(std::vector<UCHAR>(copy, copy + length), packet);
}

TEST(ArWalkTest, StraddlingPacketsAndPartialOnes) {
    // A 2048-byte write that starts 100 bytes before the end of a 1024-byte buffer spans three.
    Ring ring(4, 1024);
    std::vector<UCHAR> packet = WriteBlockImage(2048, 0x77);
    ring.Put(0, 924, packet);
    ArPosition position{0, 924};
    std::vector<UCHAR> copy(4096);
    ULONG length = 0, finished = 0;
    ASSERT_EQ(ArNextPacket(ring.view, &position, copy.data(), 4096, &length, &finished), kArPacket);
    EXPECT_EQ(length, 2068u);
    EXPECT_EQ(finished, 2u);
    EXPECT_EQ(position.Buffer, 2u);
    EXPECT_EQ(position.Offset, 2068u - 100 - 1024);
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), copy.begin()));
    // Nothing more written: the position stays.
    EXPECT_EQ(ArNextPacket(ring.view, &position, copy.data(), 4096, &length, &finished), kArNothing);

    // The next buffer still empty: the partial packet is not consumed.
    Ring partial(4);
    std::vector<UCHAR> big = WriteBlockImage(40, 1);  // 60 bytes
    partial.Put(0, 32, std::vector<UCHAR>(big.begin(), big.begin() + 32));
    ArPosition start{0, 32};
    EXPECT_EQ(ArNextPacket(partial.view, &start, copy.data(), 4096, &length, &finished), kArNothing);
    EXPECT_EQ(start.Offset, 32u);
    partial.Put(0, 32, big);
    EXPECT_EQ(ArNextPacket(partial.view, &start, copy.data(), 4096, &length, &finished), kArPacket);
    EXPECT_EQ(length, 60u);

    // A ring of one buffer: a packet that fits in it is walked and the buffer is finished.
    Ring one(1);
    one.Put(0, 0, WriteBlockImage(40, 4));
    ArPosition first{0, 0};
    ASSERT_EQ(ArNextPacket(one.view, &first, copy.data(), 4096, &length, &finished), kArPacket);
    EXPECT_EQ(length, 60u);
    EXPECT_EQ(finished, 0u);
    EXPECT_EQ(first.Offset, 60u);
}

TEST(ArWalkTest, InvalidTcodesAndOversizePacketsStopTheWalk) {
    for (ULONG tcode : {3u, 8u, 10u, 12u, 13u, 15u}) {
        Ring ring(2);
        std::vector<UCHAR> bytes;
        PutLe(&bytes, tcode << 4);
        ring.Put(0, 0, bytes);
        ArPosition position{0, 0};
        UCHAR copy[64];
        ULONG length = 0, finished = 0;
        EXPECT_EQ(ArNextPacket(ring.view, &position, copy, sizeof(copy), &length, &finished), kArInvalid) << tcode;
    }
    Ring ring(4);
    ring.Put(0, 0, WriteBlockImage(100, 2));
    ArPosition position{0, 0};
    UCHAR copy[64];
    ULONG length = 0, finished = 0;
    EXPECT_EQ(ArNextPacket(ring.view, &position, copy, sizeof(copy), &length, &finished), kArInvalid);
    // Longer than the whole ring from where the walk stands: it can never be whole.
    Ring one(1);
    std::vector<UCHAR> image = WriteBlockImage(40, 3);  // 60 bytes from offset 8 of a 64-byte ring
    one.Put(0, 8, std::vector<UCHAR>(image.begin(), image.begin() + 16));
    ArPosition at{0, 8};
    UCHAR big[256];
    EXPECT_EQ(ArNextPacket(one.view, &at, big, sizeof(big), &length, &finished), kArInvalid);
    // A ring description that does not hold together is refused, not walked.
    ring.view.Filled[1] = 9999;
    EXPECT_EQ(ArNextPacket(ring.view, &position, copy, sizeof(copy), &length, &finished), kArInvalid);
}

}  // namespace
