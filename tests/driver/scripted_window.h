// A small scripted OHCI register window for register-layer tests: plain registers, the PhyControl
// handshake of a PHY that answers (or never does), and the CSR compare-swap unit. The full
// controller model replaces it in later tests.
#pragma once

#include <map>
#include <vector>

#include "hk_core.h"

class ScriptedWindow : public hk::RegisterWindow {
public:
    bool phyAnswers = true;        // rdDone sets / wrReg clears
    ULONG phyLatencyPolls = 0;     // PhyControl reads before the handshake completes
    bool csrAnswers = true;
    UCHAR phy[16] = {};
    ULONG csr[4] = {};             // BUS_MANAGER_ID, BANDWIDTH_AVAILABLE, CHANNELS_AVAILABLE_HI/LO
    std::map<ULONG, ULONG> regs;
    std::vector<std::pair<ULONG, ULONG>> writes;
    ULONG phyControlReads = 0;

    ULONG Read32(ULONG offset) override;
    void Write32(ULONG offset, ULONG value) override;

private:
    ULONG pendingPolls_ = 0;
    ULONG phyControl_ = 0;
    ULONG pendingPhyCommand_ = 0;
    void CompletePhyCommand();
};
