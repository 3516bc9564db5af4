#include "scripted_window.h"

namespace {
constexpr ULONG kPhyControl = 0x0EC;
constexpr ULONG kCSRReadData = 0x00C;
constexpr ULONG kCSRCompareData = 0x010;
constexpr ULONG kCSRControl = 0x014;
constexpr ULONG kRdReg = 1u << 15;
constexpr ULONG kWrReg = 1u << 14;
constexpr ULONG kRdDone = 1u << 31;
}  // namespace

void ScriptedWindow::CompletePhyCommand() {
    ULONG reg = (pendingPhyCommand_ >> 8) & 0xF;
    if (pendingPhyCommand_ & kRdReg) {
        phyControl_ = kRdDone | (reg << 24) | (ULONG(phy[reg]) << 16);
    } else if (pendingPhyCommand_ & kWrReg) {
        phy[reg] = UCHAR(pendingPhyCommand_ & 0xFF);
        phyControl_ = pendingPhyCommand_ & ~kWrReg;
    }
    pendingPhyCommand_ = 0;
}

ULONG ScriptedWindow::Read32(ULONG offset) {
    if (offset == kPhyControl) {
        ++phyControlReads;
        if (pendingPhyCommand_ != 0 && phyAnswers) {
            if (pendingPolls_ == 0)
                CompletePhyCommand();
            else
                --pendingPolls_;
        }
        return phyControl_;
    }
    return regs[offset];
}

void ScriptedWindow::Write32(ULONG offset, ULONG value) {
    writes.emplace_back(offset, value);
    if (offset == kPhyControl) {
        // A new command clears rdDone; wrReg/rdReg stay set until the PHY answers.
        phyControl_ = value & (kRdReg | kWrReg | 0xFFFu);
        pendingPhyCommand_ = value & (kRdReg | kWrReg) ? value : 0;
        pendingPolls_ = phyLatencyPolls;
        return;
    }
    if (offset == kCSRControl) {
        regs[kCSRControl] = value & 3;
        if (!csrAnswers) return;
        ULONG& target = csr[value & 3];
        ULONG old = target;
        if (old == regs[kCSRCompareData]) target = regs[kCSRReadData];
        regs[kCSRReadData] = old;
        regs[kCSRControl] = (value & 3) | kRdDone;
        return;
    }
    regs[offset] = value;
}
