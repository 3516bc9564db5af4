// Host kernel mm: guarded pool and the reach of pageable memory. Each case makes the access a
// careless driver makes; the fault is reported with its rule and the access then completes.
#include <gtest/gtest.h>

#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "kxplatform.h"

namespace {

constexpr ULONG kTag = KX_TAG('G', 'r', 'd', 'T');

bool Contains(const char* text, const char* part) { return std::string(text).find(part) != std::string::npos; }

UCHAR Read(const void* p) { return *static_cast<const volatile UCHAR*>(p); }
void Write(void* p) { *static_cast<volatile UCHAR*>(p) = 0x11; }

// A stray write into the few bytes between a block's end and its guard page: AddressSanitizer
// would stop it at once, so it is made here the way uninstrumented driver code makes it.
__attribute__((no_sanitize_address, noinline)) void StrayWrite(void* p) { *static_cast<volatile UCHAR*>(p) = 0x11; }

TEST(MmGuard, FreedPoolReadOrWrittenIsReportedAtTheAccess) {
    hk::Kernel kernel;
    struct Case {
        const char* name;
        bool lookaside;
        bool write;
    };
    const Case cases[] = {
        {"read of a freed block", false, false},
        {"write of a freed block", false, true},
        {"read of an entry freed to its lookaside list", true, false},
        {"write of an entry freed to its lookaside list", true, true},
    };
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 40, kTag, 0);
    for (const Case& c : cases) {
        UCHAR* p = static_cast<UCHAR*>(c.lookaside ? ExAllocateFromNPagedLookasideList(&list)
                                                   : ExAllocatePoolWithTag(NonPagedPool, 40, kTag));
        if (c.lookaside)
            ExFreeToNPagedLookasideList(&list, p);
        else
            ExFreePoolWithTag(p, kTag);
        hk::ExpectViolation v(hk::rule::kUseAfterFree);
        if (c.write)
            Write(p + 8);
        else
            Read(p + 8);
        EXPECT_EQ(1, v.Count()) << c.name;
        EXPECT_TRUE(Contains(v.LastMessage(), c.write ? "write" : "read")) << c.name << ": " << v.LastMessage();
        EXPECT_TRUE(Contains(v.LastMessage(), c.lookaside ? "lookaside entry" : "at offset 8")) << v.LastMessage();
        EXPECT_TRUE(Contains(v.LastMessage(), "'GrdT'")) << v.LastMessage();
    }
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(0, hk::ReportLeaks());
}

TEST(MmGuard, AccessPastTheEndFaultsAndStrayWritesAroundABlockAreFoundWhenItIsFreed) {
    hk::Kernel kernel;
    {
        // 48 bytes end exactly at the guard page: the next byte faults, read or write.
        UCHAR* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 48, kTag));
        hk::ExpectViolation v(hk::rule::kPoolOverrun);
        Read(p + 48);
        EXPECT_EQ(1, v.Count());
        EXPECT_TRUE(Contains(v.LastMessage(), "read 0 byte(s) past the end of the 48-byte")) << v.LastMessage();
        ExFreePool(p);
    }
    struct Case {
        const char* name;
        SIZE_T size;
        long offset;  // of the stray write, from the block's start
        const char* says;
    };
    const Case cases[] = {
        {"into the alignment slack after the end", 13, 14, "written past its end (at byte 1 after it)"},
        {"before the start", 100, -3, "written 3 byte(s) before its start"},
        {"after a block of more than a page", PAGE_SIZE + 5, PAGE_SIZE + 5, "written past its end (at byte 0"},
    };
    for (const Case& c : cases) {
        UCHAR* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, c.size, kTag));
        StrayWrite(p + c.offset);
        hk::ExpectViolation v(hk::rule::kPoolOverrun);
        ExFreePoolWithTag(p, kTag);
        EXPECT_EQ(1, v.Count()) << c.name;
        EXPECT_TRUE(Contains(v.LastMessage(), c.says)) << c.name << ": " << v.LastMessage();
    }
}

TEST(MmGuard, PagedPoolTouchedAtDispatchLevelUnlessLocked) {
    hk::Kernel kernel;
    UCHAR* paged = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 64, kTag));
    UCHAR* locked = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 64, kTag));
    UCHAR* nonPaged = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 64, kTag));
    PMDL mdl = IoAllocateMdl(locked, 64, FALSE, FALSE, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, KxProbeAndLockPages(mdl, KernelMode, IoWriteAccess));
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (bool write : {false, true}) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        Write(nonPaged);
        Write(locked);  // locked pages stay resident
        hk::ExpectViolation v(hk::rule::kIrql);
        if (write)
            Write(paged + 1);
        else
            Read(paged + 1);
        EXPECT_EQ(1, v.Count());
        EXPECT_TRUE(Contains(v.LastMessage(), "paged pool block")) << v.LastMessage();
        EXPECT_TRUE(Contains(v.LastMessage(), "at IRQL 2")) << v.LastMessage();
        KeReleaseSpinLock(&lock, old);
        Write(paged);  // resident again at PASSIVE_LEVEL
    }
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    for (UCHAR* p : {paged, locked, nonPaged}) ExFreePool(p);
}

// Pages closed at DISPATCH_LEVEL (paged pool) or outside the program's context (its buffers) are
// opened again on demand: below DISPATCH_LEVEL, on the program's thread, a touch reaches them
// unreported however often the IRQL went up and down, and each rise closes them again.
TEST(MmGuard, PageableMemoryIsPagedInAgainWhereItMayBeTouched) {
    hk::Kernel kernel;
    UCHAR* paged = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 64, kTag));
    UCHAR* buffer = static_cast<UCHAR*>(hk::user::Alloc(hk::CurrentProcess(), 64));
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (int round = 0; round < 3; ++round) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        if (round == 2) {
            hk::ExpectViolation raised(hk::rule::kIrql);
            Read(paged + 5);
            Read(buffer + 5);
            EXPECT_EQ(2, raised.Count());
        }
        KeReleaseSpinLock(&lock, old);
        hk::ExpectViolation irql(hk::rule::kIrql), user(hk::rule::kUserAddress);
        Write(paged + round);
        Write(buffer + round);
        Read(paged + 63);
        Read(buffer + 63);
        EXPECT_EQ(0, irql.Count()) << "round " << round << ": " << (irql.Count() ? irql.LastMessage() : "");
        EXPECT_EQ(0, user.Count()) << "round " << round << ": " << (user.Count() ? user.LastMessage() : "");
    }
    ExFreePool(paged);
    EXPECT_TRUE(hk::user::Free(hk::CurrentProcess(), buffer));
}

#if defined(__SANITIZE_ADDRESS__)
// A read AddressSanitizer lets through, of memory it holds poisoned.
__attribute__((no_sanitize_address, noinline)) UCHAR RawRead(const void* p) {
    return *static_cast<const volatile UCHAR*>(p);
}

// Options::poisonFreedMemory: a freed block and a lookaside entry in its list's cache are
// poisoned for AddressSanitizer instead of closed (no page changes, no fault), and an entry handed
// out again is open with only its slack poisoned.
TEST(MmGuard, FreedPoolPoisonedInsteadOfClosedWhenAsked) {
    hk::Options options;
    options.poisonFreedMemory = true;
    hk::Kernel kernel(options);
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 40, kTag, 0);
    UCHAR* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 40, kTag));
    UCHAR* entry = static_cast<UCHAR*>(ExAllocateFromNPagedLookasideList(&list));
    for (UCHAR* p : {block, entry}) {
        EXPECT_EQ(0, __asan_region_is_poisoned(p, 40));
        EXPECT_TRUE(__asan_address_is_poisoned(p + 40));  // the slack up to the guard page
    }
    ExFreePoolWithTag(block, kTag);
    ExFreeToNPagedLookasideList(&list, entry);
    for (UCHAR* p : {block, entry}) {
        EXPECT_TRUE(__asan_address_is_poisoned(p));
        EXPECT_TRUE(__asan_address_is_poisoned(p + 39));
        (void)RawRead(p + 8);  // the page is still open: no fault
    }
    UCHAR* again = static_cast<UCHAR*>(ExAllocateFromNPagedLookasideList(&list));
    ASSERT_EQ(entry, again);
    EXPECT_EQ(0, __asan_region_is_poisoned(again, 40));
    EXPECT_TRUE(__asan_address_is_poisoned(again + 40));
    ExFreeToNPagedLookasideList(&list, again);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(0, hk::ReportLeaks());
}
#endif

// Where a user program's buffer may be touched directly: only on its own threads, below
// DISPATCH_LEVEL, outside the dispatch of its request. The checked copies and locked pages reach it
// from anywhere.
void TouchFromDpc(PKDPC, PVOID context, PVOID, PVOID) { Read(context); }

TEST(MmGuard, UserMemoryTouchedOutsideItsProgramsContextOrFrame) {
    hk::Kernel kernel;
    PEPROCESS app = hk::CurrentProcess();
    UCHAR* buffer = static_cast<UCHAR*>(hk::user::Alloc(app, 64));
    UCHAR* lockedBuffer = static_cast<UCHAR*>(hk::user::Alloc(app, 64));
    PMDL mdl = IoAllocateMdl(lockedBuffer, 64, FALSE, FALSE, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, KxProbeAndLockPages(mdl, UserMode, IoWriteAccess));
    struct Case {
        const char* name;
        const char* rule;
        const char* says;
    };
    const Case cases[] = {
        {"at DISPATCH_LEVEL", hk::rule::kIrql, "at DISPATCH_LEVEL or above"},
        {"from a DPC", hk::rule::kIrql, "at DISPATCH_LEVEL or above"},
        {"from a system thread", hk::rule::kUserAddress, "from a thread of the system process"},
        {"in the dispatch of a request", hk::rule::kUserAddress, "outside a probe and exception frame"},
    };
    for (const Case& c : cases) {
        hk::ExpectViolation v(c.rule);
        const std::string name = c.name;
        if (name == "at DISPATCH_LEVEL") {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            Write(lockedBuffer);
            Write(buffer);
            KeLowerIrql(old);
        } else if (name == "from a DPC") {
            KDPC dpc;
            KeInitializeDpc(&dpc, TouchFromDpc, buffer);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
        } else if (name == "from a system thread") {
            hk::JoinThread(hk::StartThread("system", hk::SystemProcess(), [&] {
                Write(lockedBuffer);
                Read(buffer);
            }));
        } else {
            hk::EnterRequestDispatch();
            UCHAR copy = 0;
            EXPECT_EQ(STATUS_SUCCESS, KxCopyFromUser(&copy, buffer, 1));
            EXPECT_EQ(STATUS_SUCCESS, KxCopyToUser(buffer, &copy, 1));
            Write(lockedBuffer);
            Read(buffer + 63);
            hk::LeaveRequestDispatch();
        }
        EXPECT_EQ(1, v.Count()) << name;
        EXPECT_TRUE(Contains(v.LastMessage(), c.says)) << name << ": " << v.LastMessage();
        Write(buffer);  // the program's own thread
    }
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

}  // namespace
