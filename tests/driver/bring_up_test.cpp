// Start on the hardware model: the configuration ROM the model serves, the node's place on buses
// of 1, 3 and 63 nodes, the TOPOLOGY_MAP and SPEED_MAP images against the model's own view, the
// gates after the bus management thread's pass; and the way back with nothing left behind.
#include <vector>

#include "frame/client.h"
#include "ohci/bus_order.h"
#include "ohci/register_access.h"
#include "sim_fixture.h"

namespace {

class BusSizeTest : public SimBusTest, public ::testing::WithParamInterface<int> {};

void ExpectTopologyMap(OhciController* controller, const std::vector<uint32_t>& selfIds, int nodes) {
    const ULONG* image = controller->TopologyMapImage;
    ULONG count = ULONG(selfIds.size());
    ULONG q0 = BusToHost32(image[0]);
    EXPECT_EQ(q0 >> 16, count + 2);
    std::vector<ULONG> body(count + 2);
    for (ULONG i = 0; i < count + 2; ++i) body[i] = BusToHost32(image[1 + i]);
    EXPECT_EQ(q0 & 0xFFFF, RomCrc16HostOrder(body.data(), count + 2));
    EXPECT_GE(body[0], 1u);  // generation
    EXPECT_EQ(body[1], (ULONG(nodes) << 16) | count);
    for (ULONG i = 0; i < count && 3 + i < 256; ++i) {
        EXPECT_EQ(body[2 + i], selfIds[i]) << "self-ID " << i;
    }
}

void ExpectSpeedMap(OhciController* controller, sim::Bus& bus, int nodes) {
    const UCHAR* map = controller->SpeedMapImage;
    EXPECT_EQ(BusToHost32(*reinterpret_cast<const ULONG*>(map)), (0x3F1u << 16) |
                                                                      RomCrc16(reinterpret_cast<const ULONG*>(map + 4), 0x3F1));
    const UCHAR* codes = map + 8;
    for (int a = 0; a < nodes; ++a) {
        for (int b = 0; b < nodes; ++b) {
            ASSERT_EQ(codes[a * 64 + b], bus.PathSpeed(bus.NodeByPhyId(a), bus.NodeByPhyId(b))) << a << "->" << b;
        }
    }
    if (nodes < 63) {
        EXPECT_EQ(codes[nodes * 64], 0x0F);
    }
}

TEST_P(BusSizeTest, StartLearnsTheBusAndPublishesItsMaps) {
    int nodes = GetParam();
    BuildBus(nodes - 1);
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    OhciController* controller = Controller();
    sim::Bus& bus = sim_->bus;
    ASSERT_EQ(bus.NodeCount(), nodes);
    EXPECT_EQ(controller->NodeCount, ULONG(nodes));
    EXPECT_EQ(controller->LocalNodeNumber, sim_->controller->phy().phyId);
    EXPECT_EQ(ModelRegister(ohci::kNodeID) & 0x3F, controller->LocalNodeNumber);
    EXPECT_EQ(controller->RootNodeNumber, UCHAR(nodes - 1));
    EXPECT_EQ(controller->IsRoot, bus.Root() == sim_->controller ? 1 : 0);
    EXPECT_EQ(controller->IsCycleMaster, controller->IsRoot);
    // The IRM: the highest-numbered node with link-active and contender; the local one contends.
    EXPECT_NE(controller->IrmNodeNumber, kNoNode);
    EXPECT_EQ(controller->IsIrm, controller->IrmNodeNumber == controller->LocalNodeNumber ? 1 : 0);
    EXPECT_EQ(controller->IsBusManager, controller->IsIrm);
    EXPECT_GE(controller->BusResetCount, 1u);
    EXPECT_EQ(controller->BusResetActive, 0);
    EXPECT_EQ(controller->SelfIdPacketCount, ULONG(bus.SelfIds().size()));
    ExpectTopologyMap(controller, bus.SelfIds(), nodes);
    ExpectSpeedMap(controller, bus, nodes);
    EXPECT_EQ(KeReadStateEvent(&controller->AsyncGate), 1);
    EXPECT_EQ(KeReadStateEvent(&controller->EnumerationDone), 1);
    EXPECT_EQ(controller->BusEventCount, 0);
    EXPECT_NE(FindDriverClient(controller), nullptr);
    EXPECT_EQ(Extension()->PnpState, Started);
    if (nodes == 1) {
        EXPECT_EQ(controller->IsRoot, 1);
        EXPECT_EQ(controller->IsIrm, 1);
        EXPECT_EQ(controller->IsBusManager, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Buses, BusSizeTest, ::testing::Values(1, 3, 63));

class BringUpTest : public SimBusTest {};

TEST_F(BringUpTest, ModelServesTheConfigurationRom) {
    sim::OhciController::Config config;
    config.guid = 0x0011223344556677ull;
    config.maxRec = 8;
    BuildBus(2, config);
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    OhciController* controller = Controller();
    EXPECT_EQ(controller->GuidHi, 0x00112233u);
    EXPECT_EQ(controller->GuidLo, 0x44556677u);
    ULONG romAddress = ModelRegister(ohci::kConfigROMmap);
    EXPECT_EQ(romAddress, controller->ConfigRom.Logical);
    ULONG rom[29];
    ASSERT_TRUE(hk::BusRead(romAddress, rom, sizeof(rom)));
    EXPECT_EQ(ModelRegister(ohci::kConfigROMhdr), BusToHost32(rom[0]));
    EXPECT_EQ(BusToHost32(rom[0]), (0x041Cu << 16) | RomCrc16(&rom[1], 28));
    EXPECT_EQ(ModelRegister(ohci::kBusOptions), BusToHost32(rom[2]));
    EXPECT_EQ((BusToHost32(rom[2]) >> 8) & 3, 1u);  // max_rec 8: max_ROM 1
    EXPECT_EQ(ModelRegister(ohci::kGUIDHi), 0x00112233u);
    EXPECT_EQ(ModelRegister(ohci::kGUIDLo), 0x44556677u);
    EXPECT_EQ(BusToHost32(rom[5]), (4u << 16) | RomCrc16(&rom[6], 4));
    EXPECT_EQ(BusToHost32(rom[7]), 0x03001122u);
    // Registers the bring-up leaves: link on, transmit masks of the implemented contexts set.
    EXPECT_NE(ModelRegister(ohci::kHCControl) & ohci::kHCControlLinkEnable, 0u);
    EXPECT_EQ(ModelRegister(ohci::kIsoRecvIntMaskSet), 0u);
    EXPECT_EQ(ModelRegister(ohci::kIsoXmitIntMaskSet), controller->ImplementedIsoXmitMask);
    EXPECT_EQ(controller->ImplementedIsoXmitMask, 0xFu);
    EXPECT_EQ(ModelRegister(ohci::kIntMaskSet), ohci::kIntEnabledEvents);
    EXPECT_EQ(controller->LocalCsr.SplitTimeoutLo, 0x19000000u);
}

TEST_F(BringUpTest, StopAndStartAgainLeaveNothingBehind) {
    BuildBus(2);
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    ASSERT_EQ(hk::pnp::Stop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(hk::mm::TagCount(KX_TAG('Z', 's', 'p', 'N')), 0u);
    EXPECT_EQ(hk::mm::TagCount(KX_TAG('Z', 'O', 'P', 'I')), 0u);
    EXPECT_EQ(ModelRegister(ohci::kIntMaskSet), 0u);
    ASSERT_EQ(hk::pnp::Start(pdo_), STATUS_SUCCESS);
    hk::RunFor(200 * kMs100ns);
    EXPECT_EQ(Controller()->NodeCount, 3u);
    EXPECT_EQ(KeReadStateEvent(&Controller()->AsyncGate), 1);
}

}  // namespace
