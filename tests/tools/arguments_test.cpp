// Command-line values of kx1394: what each parser takes and what it refuses.
#include "arguments.h"

#include <gtest/gtest.h>

namespace kx1394 {
namespace {

TEST(Arguments, Numbers) {
    uint64_t v = 0;
    EXPECT_TRUE(ParseNumber("0xFFFFFFFFFFFFFFFF", ~0ull, &v));
    EXPECT_EQ(v, ~0ull);
    EXPECT_TRUE(ParseNumber("18446744073709551615", ~0ull, &v));
    EXPECT_EQ(v, ~0ull);
    for (const char* bad : {"", "0x", "18446744073709551616", "0x10000000000000000", "12a", "-1", " 1", "0xg"})
        EXPECT_FALSE(ParseNumber(bad, ~0ull, &v)) << bad;
    EXPECT_FALSE(ParseNumber("5", 3, &v));
    EXPECT_TRUE(ParseNumber("3", 3, &v));
}

TEST(Arguments, Nodes) {
    struct Case {
        const char* text;
        bool ok;
        uint16_t nodeId;
    };
    const Case cases[] = {{"0", true, 0xFFC0},       {"62", true, 0xFFFE},   {"0xFFC2", true, 0xFFC2},
                          {"0x0001", true, 0x0001},  {"63", false, 0},       {"0xFFFF", false, 0},
                          {"0xFFBF", false, 0},      {"64", false, 0},       {"0x10000", false, 0},
                          {"x", false, 0},           {"", false, 0},         {"99999999999999999999", false, 0}};
    for (const Case& c : cases) {
        uint16_t node = 0;
        std::string error;
        EXPECT_EQ(ParseNode(c.text, &node, &error), c.ok) << c.text;
        if (c.ok) EXPECT_EQ(node, c.nodeId) << c.text;
        else EXPECT_NE(error.find("NODE"), std::string::npos) << c.text;
    }
}

TEST(Arguments, OffsetsLengthsAndData) {
    uint64_t offset = 0;
    uint32_t length = 0;
    std::string error;
    EXPECT_TRUE(ParseOffset("0xFFFFFFFFFFFF", &offset, &error));
    EXPECT_FALSE(ParseOffset("0x1000000000000", &offset, &error));
    EXPECT_NE(error.find("48-bit"), std::string::npos);
    EXPECT_TRUE(ParseLength("65535", &length, &error));
    for (const char* bad : {"0", "65536", "0x10000", "four"}) EXPECT_FALSE(ParseLength(bad, &length, &error)) << bad;

    std::vector<uint8_t> data;
    EXPECT_TRUE(ParseHexData("0x80000000", &data, &error));
    EXPECT_EQ(data, (std::vector<uint8_t>{0x80, 0, 0, 0}));
    EXPECT_TRUE(ParseHexData("aBcD", &data, &error));
    EXPECT_EQ(HexBytes(data), "abcd");
    for (const char* bad : {"", "0x", "abc", "zz", "0x0g"}) EXPECT_FALSE(ParseHexData(bad, &data, &error)) << bad;
    EXPECT_FALSE(ParseHexData(std::string(2 * 65536, '0'), &data, &error));
    EXPECT_TRUE(ParseHexData(std::string(2 * 65535, '0'), &data, &error));
}

TEST(Arguments, LockFunctionsAndSpeeds) {
    const char* names[] = {"mask_swap", "compare_swap", "fetch_add", "little_add", "bounded_add", "wrap_add"};
    for (uint8_t code = 1; code <= 6; ++code) {
        uint8_t parsed = 0;
        std::string error;
        EXPECT_TRUE(ParseLockOp(names[code - 1], &parsed, &error));
        EXPECT_EQ(parsed, code);
        EXPECT_TRUE(ParseLockOp(std::to_string(code), &parsed, &error));
        EXPECT_EQ(std::string(LockOpName(code)), names[code - 1]);
    }
    EXPECT_FALSE(LockHasArgument(3));
    EXPECT_FALSE(LockHasArgument(4));
    EXPECT_TRUE(LockHasArgument(2));
    uint8_t parsed = 0;
    std::string error;
    for (const char* bad : {"0", "7", "swap", ""}) EXPECT_FALSE(ParseLockOp(bad, &parsed, &error)) << bad;
    uint8_t speed = 9;
    EXPECT_TRUE(ParseSpeed("S3200", &speed, &error));
    EXPECT_EQ(speed, 5);
    EXPECT_FALSE(ParseSpeed("S50", &speed, &error));
}

}  // namespace
}  // namespace kx1394
