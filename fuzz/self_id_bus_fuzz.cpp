// Self-ID receptions through the whole driver path: the model's links see the input's self-ID
// packets at the next bus reset (and the controller may damage its self-ID DMA as the input asks:
// bad inverse, wrong generation, junk after the packets, selfIDError); the driver's interrupt,
// DPC and bus reset thread take the reception in. Whatever it held, a following clean reset must
// bring the driver's view back to the model's bus, with no gate left closed, no bus event left
// behind, and no device access outside the driver's buffers.
//
// The bus thread reads every node's configuration ROM after a reset only for inputs that ask for
// it (mode bit 2, as the DesktopCameraEnable value would): those reads cost ten times the rest of
// an input, and fuzz_enumeration fuzzes the ROMs themselves.
#include <cstdint>
#include <memory>
#include <vector>

#include "driver_on_bus.h"
#include "fuzz_input.h"
#include "hk_io_test.h"
#include "hk_ke_test.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kxfuzz::DriverOnBus& d = kxfuzz::DriverOnBus::Get();
    kxfuzz::Input in(data, size);
    uint8_t fault = in.U8();
    uint8_t mode = in.U8();
    uint8_t wait = in.U8();
    auto packets = std::make_shared<std::vector<uint32_t>>();
    while (!in.Empty() && packets->size() < 96) packets->push_back(in.U32());

    using Fault = sim::OhciController::SelfIdFault;
    static const Fault kFaults[] = {Fault::kNone, Fault::kBadInverse, Fault::kWrongGeneration, Fault::kJunkAfter,
                                    Fault::kSelfIdError};
    d.sim->controller->selfIdFault = kFaults[fault % 5];
    d.Controller()->DesktopCameraEnable = (mode & 4) ? 1 : 0;
    if (mode & 1) {
        auto once = std::make_shared<bool>(true);
        d.sim->bus.tamperSelfIds = [once, packets](std::vector<uint32_t>& selfIds) {
            if (!*once) return;
            *once = false;
            selfIds = *packets;
        };
    }
    d.sim->bus.RequestReset((mode & 2) != 0);
    hk::RunFor((1 + wait) * kxfuzz::kMs);

    // A clean reset settles everything.
    d.sim->bus.tamperSelfIds = nullptr;
    d.sim->controller->selfIdFault = Fault::kNone;
    d.sim->bus.RequestReset(false);
    hk::RunFor(100 * kxfuzz::kMs);
    d.CheckConsistent();
    hk::dbg::Clear();  // the captured debug output would grow with every input
    return 0;
}
