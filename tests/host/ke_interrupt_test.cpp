// DPCs and interrupts: queue semantics, when they run and at which IRQL, level-sensitive lines
// that fire again, shared vectors, storms, and delivery from the idle path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hk_ke_test.h"
#include "hk_wdm.h"

namespace {

constexpr ULONGLONG kMs = 10000;
constexpr ULONG kVector = 0x50;
constexpr KIRQL kDirql = 5;

struct DpcRecord {
    std::vector<std::string> runs;
    std::vector<KIRQL> irqls;
    std::vector<PEPROCESS> processes;
};

void RecordDpc(PKDPC, PVOID context, PVOID argument1, PVOID) {
    DpcRecord* record = static_cast<DpcRecord*>(context);
    record->runs.push_back(static_cast<const char*>(argument1));
    record->irqls.push_back(KeGetCurrentIrql());
    record->processes.push_back(hk::CurrentProcess());
}

TEST(KeDpc, InsertTwiceIsRefusedAndRemoveWithdraws) {
    hk::Kernel kernel;
    DpcRecord record;
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &record);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, const_cast<char*>("first"), nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, const_cast<char*>("second"), nullptr));
    EXPECT_EQ(hk::QueuedDpcCount(), 1u);
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, const_cast<char*>("third"), nullptr));
    hk::SchedulePoint();
    EXPECT_TRUE(record.runs.empty());  // not at DISPATCH_LEVEL
    KeLowerIrql(old);
    EXPECT_EQ(record.runs, (std::vector<std::string>{"third"}));
    EXPECT_EQ(record.irqls, (std::vector<KIRQL>{DISPATCH_LEVEL}));
    EXPECT_EQ(record.processes, (std::vector<PEPROCESS>{hk::SystemProcess()}));  // whatever thread it ran on
    EXPECT_NE(hk::CurrentProcess(), hk::SystemProcess());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(KeDpc, RunFifoWhenTheSpinLockIsReleasedOrAtOnceFromPassive) {
    hk::Kernel kernel;
    DpcRecord record;
    KDPC a, b, c;
    KeInitializeDpc(&a, RecordDpc, &record);
    KeInitializeDpc(&b, RecordDpc, &record);
    KeInitializeDpc(&c, RecordDpc, &record);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeInsertQueueDpc(&a, const_cast<char*>("a"), nullptr);
    KeInsertQueueDpc(&b, const_cast<char*>("b"), nullptr);
    EXPECT_TRUE(record.runs.empty());
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(record.runs, (std::vector<std::string>{"a", "b"}));
    KeInsertQueueDpc(&c, const_cast<char*>("c"), nullptr);
    EXPECT_EQ(record.runs.back(), "c");
}

void ReturnsRaised(PKDPC, PVOID, PVOID, PVOID) {
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
}
KSPIN_LOCK g_keptLock;
void ReturnsHolding(PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&g_keptLock); }

TEST(KeDpc, RoutineReturningAtWrongIrqlOrHoldingALockIsCaught) {
    hk::Kernel kernel;
    KDPC raised, holding;
    KeInitializeDpc(&raised, ReturnsRaised, nullptr);
    KeInitializeDpc(&holding, ReturnsHolding, nullptr);
    KeInitializeSpinLock(&g_keptLock);
    hk::ExpectViolation misuse(hk::rule::kDpc);
    KeInsertQueueDpc(&raised, nullptr, nullptr);
    EXPECT_EQ(misuse.Count(), 1);
    EXPECT_NE(std::string(misuse.LastMessage()).find("IRQL 15"), std::string::npos);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KeInsertQueueDpc(&holding, nullptr, nullptr);
    EXPECT_EQ(misuse.Count(), 2);
    EXPECT_NE(std::string(misuse.LastMessage()).find("spin lock"), std::string::npos);
}

// A level-sensitive device: the line is asserted while events are pending.
struct Device {
    ULONG pending = 0;
    bool mine = true;
    int calls = 0;
    int depth = 0;
    int maxDepth = 0;
    std::vector<KIRQL> irqls;
    PKDPC dpc = nullptr;
    void Raise(ULONG events) {
        pending += events;
        hk::SetInterruptLine(kVector, pending != 0);
    }
};

BOOLEAN DeviceIsr(PKINTERRUPT, PVOID context) {
    Device* device = static_cast<Device*>(context);
    ++device->calls;
    device->maxDepth = std::max(device->maxDepth, ++device->depth);
    device->irqls.push_back(KeGetCurrentIrql());
    hk::SchedulePoint();  // a register access inside the routine
    BOOLEAN claimed = FALSE;
    if (device->mine && device->pending != 0) {
        // One event per call: a line still asserted fires again.
        device->Raise(static_cast<ULONG>(-1));
        if (device->dpc != nullptr) KeInsertQueueDpc(device->dpc, nullptr, nullptr);
        claimed = TRUE;
    }
    --device->depth;
    return claimed;
}

PKINTERRUPT Connect(Device* device, BOOLEAN shared = TRUE) {
    PKINTERRUPT interrupt = nullptr;
    EXPECT_EQ(IoConnectInterrupt(&interrupt, DeviceIsr, device, nullptr, kVector, kDirql, kDirql, LevelSensitive,
                                 shared, 1, FALSE),
              STATUS_SUCCESS);
    return interrupt;
}

TEST(KeInterrupt, LevelLineFiresUntilTheDeviceQuietsAndNeverNests) {
    hk::Kernel kernel;
    Device device;
    PKINTERRUPT interrupt = Connect(&device);
    device.Raise(3);
    EXPECT_EQ(device.calls, 0);  // delivered at the next point where control may pass
    hk::SchedulePoint();
    EXPECT_EQ(device.calls, 3);
    EXPECT_EQ(device.maxDepth, 1);
    EXPECT_EQ(device.irqls, (std::vector<KIRQL>{kDirql, kDirql, kDirql}));
    EXPECT_FALSE(hk::IsInterruptLineAsserted(kVector));
    EXPECT_EQ(interrupt->ServiceCount, 3u);
    // Masked by IRQL: waits until the IRQL drops below the interrupt's.
    KIRQL old;
    KeRaiseIrql(kDirql, &old);
    device.Raise(1);
    hk::SchedulePoint();
    EXPECT_EQ(device.calls, 3);
    KeLowerIrql(DISPATCH_LEVEL);
    EXPECT_EQ(device.calls, 4);
    KeLowerIrql(old);
    // KeSynchronizeExecution holds the interrupt off while its routine runs.
    struct Sync {
        Device* device;
        int callsInside;
    } sync{&device, -1};
    device.Raise(1);
    KeSynchronizeExecution(
        interrupt,
        [](PVOID context) -> BOOLEAN {
            Sync* s = static_cast<Sync*>(context);
            EXPECT_EQ(KeGetCurrentIrql(), kDirql);
            hk::SchedulePoint();
            s->callsInside = s->device->calls;
            return TRUE;
        },
        &sync);
    EXPECT_EQ(sync.callsInside, 4);
    EXPECT_EQ(device.calls, 5);
    IoDisconnectInterrupt(interrupt);
}

TEST(KeInterrupt, SharedVectorCallsEachRoutineUntilOneClaims) {
    hk::Kernel kernel;
    Device other, ours;
    other.mine = false;
    PKINTERRUPT first = Connect(&other);
    PKINTERRUPT second = Connect(&ours);
    Device exclusive;
    PKINTERRUPT refused = nullptr;
    EXPECT_EQ(IoConnectInterrupt(&refused, DeviceIsr, &exclusive, nullptr, kVector, kDirql, kDirql, LevelSensitive,
                                 FALSE, 1, FALSE),
              STATUS_INVALID_PARAMETER);
    ours.Raise(2);
    hk::SchedulePoint();
    EXPECT_EQ(other.calls, 2);  // "not mine" each time
    EXPECT_EQ(ours.calls, 2);
    EXPECT_EQ(first->ServiceCount, 0u);
    EXPECT_EQ(second->ServiceCount, 2u);
    IoDisconnectInterrupt(first);
    IoDisconnectInterrupt(second);
}

TEST(KeInterrupt, UnclaimedAssertedLineIsAStormAndGetsMasked) {
    hk::Kernel kernel;
    Device device;
    device.mine = false;
    PKINTERRUPT interrupt = Connect(&device);
    hk::ExpectViolation storm(hk::rule::kInterruptStorm);
    device.Raise(1);
    hk::SchedulePoint();
    EXPECT_EQ(storm.Count(), 1);
    EXPECT_NE(std::string(storm.LastMessage()).find("vector 80"), std::string::npos) << storm.LastMessage();
    EXPECT_EQ(device.calls, static_cast<int>(hk::ke::kStormDeliveries));
    EXPECT_TRUE(hk::IsInterruptLineMasked(kVector));
    hk::SchedulePoint();
    EXPECT_EQ(device.calls, static_cast<int>(hk::ke::kStormDeliveries));  // masked: the run goes on
    hk::SetInterruptLine(kVector, false);
    EXPECT_FALSE(hk::IsInterruptLineMasked(kVector));
    IoDisconnectInterrupt(interrupt);
}

struct Chain {
    Device device;
    KDPC dpc;
    KEVENT done;
    std::vector<ULONGLONG> dpcTimes;
};

void ChainDpc(PKDPC, PVOID context, PVOID, PVOID) {
    Chain* chain = static_cast<Chain*>(context);
    chain->dpcTimes.push_back(hk::Now());
    KeSetEvent(&chain->done, IO_NO_INCREMENT, FALSE);
}

void RaiseFromModel(void* context) { static_cast<Device*>(context)->Raise(1); }

TEST(KeInterrupt, IdlePathDeliversAClockEventsInterruptAndItsDpc) {
    hk::Kernel kernel;
    Chain chain;
    KeInitializeDpc(&chain.dpc, ChainDpc, &chain);
    KeInitializeEvent(&chain.done, NotificationEvent, FALSE);
    chain.device.dpc = &chain.dpc;
    PKINTERRUPT interrupt = Connect(&chain.device);
    hk::ScheduleClockEvent(7 * kMs, RaiseFromModel, &chain.device);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(1000 * kMs);
    EXPECT_EQ(KeWaitForSingleObject(&chain.done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(hk::Now(), 7 * kMs);
    EXPECT_EQ(chain.dpcTimes, (std::vector<ULONGLONG>{7 * kMs}));
    EXPECT_EQ(chain.device.irqls, (std::vector<KIRQL>{kDirql}));
    IoDisconnectInterrupt(interrupt);
}

struct Mailbox {
    LIST_ENTRY head;
    KSPIN_LOCK lock;
    LIST_ENTRY message;
    KIRQL irqlInside = 0;
};

BOOLEAN PostFromIsr(PKINTERRUPT, PVOID context) {
    Mailbox* box = static_cast<Mailbox*>(context);
    EXPECT_EQ(ExInterlockedInsertTailList(&box->head, &box->message, &box->lock), nullptr);
    box->irqlInside = KeGetCurrentIrql();
    hk::SetInterruptLine(kVector, false);
    return TRUE;
}

TEST(KeInterrupt, InterlockedListsWorkFromTheServiceRoutine) {
    hk::Kernel kernel;
    Mailbox box;
    InitializeListHead(&box.head);
    KeInitializeSpinLock(&box.lock);
    PKINTERRUPT interrupt = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&interrupt, PostFromIsr, &box, nullptr, kVector, kDirql, kDirql, LevelSensitive,
                                 TRUE, 1, FALSE),
              STATUS_SUCCESS);
    hk::SetInterruptLine(kVector, true);
    hk::SchedulePoint();
    EXPECT_EQ(box.irqlInside, kDirql);  // the list lock leaves the IRQL alone
    EXPECT_EQ(ExInterlockedRemoveHeadList(&box.head, &box.lock), &box.message);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&box.head, &box.lock), nullptr);
    EXPECT_TRUE(KeTestSpinLock(&box.lock));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoDisconnectInterrupt(interrupt);
}

}  // namespace
