// The IEEE 1212 lock functions over bus-order memory (pure logic): each row gives the target's
// bytes, the request payload and data_length, and what the target, the old value and the rcode
// must be afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "async/lock_operation.h"

namespace {

using Bytes = std::vector<UCHAR>;

struct LockCase {
    const char* name;
    USHORT extendedTcode;
    Bytes target;
    Bytes operands;
    UCHAR rcode;
    Bytes after;  // the target afterwards
    Bytes old;    // the old value answered
};

class LockOperationTest : public ::testing::TestWithParam<LockCase> {};

TEST_P(LockOperationTest, StoresAndAnswers) {
    const LockCase& c = GetParam();
    Bytes target = c.target;
    UCHAR old[8];
    memset(old, 0xEE, sizeof old);
    UCHAR rcode = async::LockOperation(c.extendedTcode, c.operands.data(), ULONG(c.operands.size()), target.data(),
                                       old);
    EXPECT_EQ(rcode, c.rcode);
    EXPECT_EQ(target, c.after);
    Bytes answered(old, old + c.old.size());
    EXPECT_EQ(answered, c.old);
    if (c.old.size() < sizeof old) {
        EXPECT_EQ(old[c.old.size()], 0xEE);  // nothing beyond the old value
    }
}

const Bytes k5 = {0, 0, 0, 5};
const Bytes k9 = {0, 0, 0, 9};

Bytes Cat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Functions, LockOperationTest,
    ::testing::Values(
        LockCase{"compareSwapMatches", 2, k5, Cat(k5, k9), 0, k9, k5},
        LockCase{"compareSwapDiffers", 2, k5, Cat({0, 0, 0, 4}, k9), 0, k5, k5},
        LockCase{"compareSwap64", 2, {1, 2, 3, 4, 5, 6, 7, 8}, Cat({1, 2, 3, 4, 5, 6, 7, 8}, {0, 0, 0, 0, 0, 0, 0, 1}),
                 0, {0, 0, 0, 0, 0, 0, 0, 1}, {1, 2, 3, 4, 5, 6, 7, 8}},
        LockCase{"maskSwap", 1, {0x12, 0x34, 0x56, 0x78}, Cat({0, 0, 0xFF, 0xFF}, {0xAA, 0xBB, 0xCC, 0xDD}), 0,
                 {0x12, 0x34, 0xCC, 0xDD}, {0x12, 0x34, 0x56, 0x78}},
        LockCase{"maskSwapOfTwelveBytes", 1, k5, Bytes(12, 0xFF), 5, k5, k5},
        LockCase{"fetchAddWraps", 3, {0xFF, 0xFF, 0xFF, 0xFF}, {0, 0, 0, 1}, 0, {0, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF}},
        LockCase{"fetchAddCarriesAcrossQuadlets64", 3, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, {0, 0, 0, 0, 0, 0, 0, 1},
                 0, {0, 0, 0, 1, 0, 0, 0, 0}, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
        LockCase{"littleAddOnBusOrderValues", 4, {0, 0, 0, 1}, {0, 0, 0, 1}, 0, {0, 0, 0, 2}, {0, 0, 0, 1}},
        LockCase{"boundedAddAtTheBound", 5, k5, Cat(k5, k9), 0, k5, k5},
        LockCase{"boundedAddBelowTheBound", 5, k5, Cat({0, 0, 0, 7}, k9), 0, {0, 0, 0, 14}, k5},
        LockCase{"wrapAddAtTheBound", 6, k5, Cat(k5, k9), 0, k9, k5},
        LockCase{"wrapAddBelowTheBound", 6, k5, Cat({0, 0, 0, 7}, k9), 0, {0, 0, 0, 14}, k5},
        LockCase{"compareSwapWithFourBytes", 2, k5, k9, 5, k5, k5},
        LockCase{"fetchAddWithSixteenBytes", 3, {1, 2, 3, 4, 5, 6, 7, 8}, Bytes(16, 1), 5, {1, 2, 3, 4, 5, 6, 7, 8},
                 {1, 2, 3, 4, 5, 6, 7, 8}},
        LockCase{"noOperandsAtAll", 2, k5, Bytes{}, 5, k5, Bytes{}},
        LockCase{"extendedTcode0", 0, k5, Cat(k5, k9), 6, k5, Bytes{}},
        LockCase{"extendedTcode7", 7, k5, Cat(k5, k9), 6, k5, Bytes{}}),
    [](const ::testing::TestParamInfo<LockCase>& info) { return std::string(info.param.name); });

}  // namespace
