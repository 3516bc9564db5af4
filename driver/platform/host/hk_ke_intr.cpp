// Host kernel ke: interrupt objects and the level-sensitive lines devices raise. An asserted line
// with a connected routine is delivered on the running thread's stack as soon as its IRQL is below
// the interrupt's; after the routines return, a line still asserted fires again.
#include "hk_ke_internal.h"
#include "hk_wdm.h"

namespace hk {
namespace ke {
namespace {

constexpr ULONG kInterruptTag = 'I' | ('n' << 8) | ('t' << 16) | ('r' << 24);  // "Intr"
// Deliveries a routine may claim while the line stays asserted before it counts as a storm: a
// routine that claims the interrupt without quieting the device would hang a real machine.
constexpr ULONG kStuckDeliveries = 100000;

// The line that may interrupt now: asserted, not masked, with a routine connected, and the
// highest interrupt IRQL above the current one.
Line* DeliverableLine(ULONG* vectorOut) {
    Thread* t = g.current;
    Line* best = nullptr;
    KIRQL bestIrql = 0;
    for (auto& entry : g.lines) {
        Line& line = entry.second;
        if (!line.asserted || line.masked || line.interrupts.empty()) continue;
        KIRQL irql = line.interrupts.front()->Irql;
        if (irql <= t->irql) continue;
        if (best == nullptr || irql > bestIrql) {
            best = &line;
            bestIrql = irql;
            *vectorOut = entry.first;
        }
    }
    return best;
}

BOOLEAN CallServiceRoutine(Thread* t, PKINTERRUPT interrupt) {
    KIRQL old = t->irql;
    size_t heldBase = t->heldBase;
    t->heldBase = t->held.size();  // locks of the interrupted context are not the routine's
    t->irql = interrupt->SynchronizeIrql;
    SyncMemoryView();
    SpinAcquire(t, interrupt->ActualLock, "interrupt dispatch");
    BOOLEAN claimed = interrupt->ServiceRoutine(interrupt, interrupt->ServiceContext);
    if (t->irql != interrupt->SynchronizeIrql) {
        Violation(rule::kIrql, "interrupt service routine %p returned at IRQL %u instead of %u",
                  reinterpret_cast<void*>(interrupt->ServiceRoutine), t->irql, interrupt->SynchronizeIrql);
    }
    SpinRelease(t, interrupt->ActualLock, "interrupt dispatch");
    t->heldBase = heldBase <= t->held.size() ? heldBase : t->held.size();
    t->irql = old;
    SyncMemoryView();
    return claimed;
}

}  // namespace

bool DeliverOneInterrupt() {
    ULONG vector = 0;
    Line* line = DeliverableLine(&vector);
    if (line == nullptr) return false;
    Thread* t = g.current;
    line->deliveries++;
    bool claimed = false;
    // Shared vectors: each routine in connection order until one claims the interrupt. The list
    // is copied because a routine may not disconnect, but a storm report must not see it change.
    std::vector<PKINTERRUPT> chain = line->interrupts;
    for (PKINTERRUPT interrupt : chain) {
        if (CallServiceRoutine(t, interrupt)) {
            interrupt->ServiceCount++;
            claimed = true;
            break;
        }
    }
    // The line may have been removed or changed by the routine (through the model).
    Line& current = g.lines[vector];
    if (!current.asserted) {
        current.unclaimed = current.stuck = 0;
        return true;
    }
    if (claimed) {
        current.unclaimed = 0;
        if (++current.stuck >= kStuckDeliveries) {
            current.masked = true;
            Violation(rule::kInterruptStorm,
                      "vector %u (0x%X): the routine claimed the interrupt %u times in a row but the line stays "
                      "asserted; the line is masked",
                      vector, vector, current.stuck);
        }
    } else {
        current.stuck = 0;
        if (++current.unclaimed >= kStormDeliveries) {
            current.masked = true;
            Violation(rule::kInterruptStorm,
                      "vector %u (0x%X): level-sensitive line still asserted after %u deliveries that no routine "
                      "claimed (\"not mine\"); the line is masked",
                      vector, vector, current.unclaimed);
        }
    }
    return true;
}

void ResetInterrupts() { g.lines.clear(); }

}  // namespace ke

void SetInterruptLine(ULONG vector, bool asserted) {
    ke::Line& line = ke::g.lines[vector];
    line.asserted = asserted;
    if (!asserted) {
        line.unclaimed = line.stuck = 0;
        line.masked = false;
    }
}

bool IsInterruptLineMasked(ULONG vector) {
    auto it = ke::g.lines.find(vector);
    return it != ke::g.lines.end() && it->second.masked;
}

bool IsInterruptLineAsserted(ULONG vector) {
    auto it = ke::g.lines.find(vector);
    return it != ke::g.lines.end() && it->second.asserted;
}

ULONGLONG InterruptDeliveries(ULONG vector) {
    auto it = ke::g.lines.find(vector);
    return it != ke::g.lines.end() ? it->second.deliveries : 0;
}

}  // namespace hk

using hk::ke::Cur;
using hk::ke::g;
using hk::ke::Thread;

extern "C" NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine,
                                       PVOID ServiceContext, PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql,
                                       KIRQL SynchronizeIrql, KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector,
                                       KAFFINITY ProcessorEnableMask, BOOLEAN FloatingSave) {
    Cur();
    hk::ke::RequireIrqlAtMost(PASSIVE_LEVEL, "IoConnectInterrupt");
    *InterruptObject = nullptr;
    if (ServiceRoutine == nullptr || Irql <= DISPATCH_LEVEL || Irql > HIGH_LEVEL || SynchronizeIrql < Irql ||
        SynchronizeIrql > HIGH_LEVEL)
        return STATUS_INVALID_PARAMETER;
    hk::ke::Line& line = g.lines[Vector];
    if (!line.interrupts.empty() && (!ShareVector || !line.interrupts.front()->ShareVector))
        return STATUS_INVALID_PARAMETER;
    PKINTERRUPT interrupt =
        static_cast<PKINTERRUPT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KINTERRUPT), hk::ke::kInterruptTag));
    if (interrupt == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(interrupt, sizeof(*interrupt));
    interrupt->Type = ::InterruptObject;
    interrupt->Size = sizeof(KINTERRUPT);
    interrupt->ServiceRoutine = ServiceRoutine;
    interrupt->ServiceContext = ServiceContext;
    interrupt->SpinLock = 0;
    interrupt->ActualLock = SpinLock != nullptr ? SpinLock : &interrupt->SpinLock;
    interrupt->Vector = Vector;
    interrupt->Irql = Irql;
    interrupt->SynchronizeIrql = SynchronizeIrql;
    interrupt->ShareVector = ShareVector;
    interrupt->FloatingSave = FloatingSave;
    interrupt->Mode = InterruptMode;
    interrupt->Affinity = ProcessorEnableMask;
    InitializeListHead(&interrupt->InterruptListEntry);
    line.interrupts.push_back(interrupt);
    *InterruptObject = interrupt;
    return STATUS_SUCCESS;
}

extern "C" void IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
    Cur();
    hk::ke::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDisconnectInterrupt");
    auto it = g.lines.find(InterruptObject->Vector);
    bool found = false;
    if (it != g.lines.end()) {
        std::vector<PKINTERRUPT>& chain = it->second.interrupts;
        for (auto i = chain.begin(); i != chain.end(); ++i) {
            if (*i == InterruptObject) {
                chain.erase(i);
                found = true;
                break;
            }
        }
    }
    if (!found) {
        hk::Violation(hk::rule::kObject, "IoDisconnectInterrupt(%p): not a connected interrupt",
                      static_cast<void*>(InterruptObject));
        return;
    }
    ExFreePoolWithTag(InterruptObject, hk::ke::kInterruptTag);
}

extern "C" KIRQL KeAcquireInterruptSpinLock(PKINTERRUPT Interrupt) {
    Thread* t = Cur();
    KIRQL old = t->irql;
    if (old > Interrupt->SynchronizeIrql) {
        hk::Violation(hk::rule::kIrql, "KeAcquireInterruptSpinLock at IRQL %u above the interrupt's %u", old,
                      Interrupt->SynchronizeIrql);
    } else {
        hk::ke::RaiseTo(t, Interrupt->SynchronizeIrql);
    }
    hk::ke::SpinAcquire(t, Interrupt->ActualLock, "KeAcquireInterruptSpinLock", old);
    return old;
}

extern "C" void KeReleaseInterruptSpinLock(PKINTERRUPT Interrupt, KIRQL OldIrql) {
    Thread* t = Cur();
    hk::ke::SpinRelease(t, Interrupt->ActualLock, "KeReleaseInterruptSpinLock", OldIrql);
    if (OldIrql > t->irql) {
        hk::Violation(hk::rule::kIrql, "KeReleaseInterruptSpinLock to IRQL %u from the lower IRQL %u", OldIrql,
                      t->irql);
        return;
    }
    hk::ke::LowerTo(t, OldIrql);
}

extern "C" BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                                          PVOID SynchronizeContext) {
    KIRQL old = KeAcquireInterruptSpinLock(Interrupt);
    BOOLEAN result = SynchronizeRoutine(SynchronizeContext);
    KeReleaseInterruptSpinLock(Interrupt, old);
    return result;
}
