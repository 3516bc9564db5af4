// Host kernel mm: pool accounting, misuse, failure injection, lookaside lists and the leak report.
#include <gtest/gtest.h>

#include <string>

#include "hk_mm_test.h"
#include "kxplatform.h"

namespace {

constexpr ULONG kTagA = KX_TAG('T', 's', 't', 'A');
constexpr ULONG kTagB = KX_TAG('T', 's', 't', 'B');

bool Contains(const char* text, const char* part) { return std::string(text).find(part) != std::string::npos; }

TEST(MmPool, CountsLiveBlocksPerTagAndNeverHandsOutZeroedMemory) {
    hk::Kernel kernel;
    void* a1 = ExAllocatePoolWithTag(NonPagedPool, 100, kTagA);
    void* a2 = ExAllocatePoolWithTag(NonPagedPoolNx, 5000, kTagA);
    void* b1 = ExAllocatePoolWithTag(PagedPool, 7, kTagB);
    ASSERT_TRUE(a1 && a2 && b1);
    EXPECT_EQ(2u, hk::mm::TagCount(kTagA));
    EXPECT_EQ(5100u, hk::mm::TagBytes(kTagA));
    EXPECT_EQ(1u, hk::mm::TagCount(kTagB));
    EXPECT_EQ(0u, reinterpret_cast<ULONG_PTR>(a2) % PAGE_SIZE) << "blocks of a page or more are page-aligned";
    const UCHAR* bytes = static_cast<const UCHAR*>(a1);
    EXPECT_NE(0, bytes[0] | bytes[99]) << "fresh pool must not look zeroed";
    ExFreePoolWithTag(a1, kTagA);
    ExFreePool(a2);
    ExFreePoolWithTag(b1, kTagB);
    EXPECT_EQ(0u, hk::mm::TagCount(kTagA));
    EXPECT_EQ(0u, hk::mm::TagBytes(kTagA));
    EXPECT_EQ(0, hk::ReportLeaks());
}

TEST(MmPool, MisuseIsReported) {
    hk::Kernel kernel;
    struct Case {
        const char* name;
        void (*run)();
        const char* says;
    };
    const Case cases[] = {
        {"wrong tag",
         [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA), kTagB); },
         "allocated with tag 'TstA'"},
        {"double free",
         [] {
             void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
             ExFreePool(p);
             ExFreePool(p);
         },
         "double free"},
        {"not a pool block",
         [] {
             static char local[16];
             ExFreePool(local);
         },
         "not an allocated pool block"},
        {"bad pool type", [] { ExAllocatePoolWithTag(DontUseThisType, 8, kTagA); }, "invalid pool type"},
    };
    for (const Case& c : cases) {
        hk::ExpectViolation v(hk::rule::kPoolMisuse);
        c.run();
        EXPECT_EQ(1, v.Count()) << c.name;
        EXPECT_TRUE(Contains(v.LastMessage(), c.says)) << c.name << ": " << v.LastMessage();
    }
    EXPECT_EQ(0u, hk::mm::TagCount(kTagA)) << "a block freed with the wrong tag is still freed";
}

TEST(MmPool, PagedPoolAboveApcLevelAndAnyPoolAboveDispatchViolateIrql) {
    hk::Kernel kernel;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);  // fine at DISPATCH_LEVEL
    {
        hk::ExpectViolation v(hk::rule::kIrql);
        void* paged = ExAllocatePoolWithTag(PagedPool, 16, kTagB);
        EXPECT_EQ(1, v.Count());
        EXPECT_TRUE(Contains(v.LastMessage(), "paged pool")) << v.LastMessage();
        KeLowerIrql(old);
        ExFreePool(paged);
        KeRaiseIrql(HIGH_LEVEL, &old);
        void* high = ExAllocatePoolWithTag(NonPagedPool, 16, kTagB);
        EXPECT_EQ(2, v.Count());
        KeLowerIrql(old);
        ExFreePool(high);
    }
    ExFreePool(nonPaged);
}

TEST(MmPool, LeakReportNamesEveryLiveBlockWithTagAndSize) {
    hk::Kernel kernel;
    void* kept = ExAllocatePoolWithTag(NonPagedPool, 24, kTagA);
    void* leaked = ExAllocatePoolWithTag(PagedPool, 1234, KX_TAG('L', 'e', 'a', 'k'));
    ExFreePool(kept);
    hk::ExpectViolation v(hk::rule::kPoolLeak);
    EXPECT_EQ(1, hk::ReportLeaks());
    EXPECT_TRUE(Contains(v.LastMessage(), "pool block leaked: tag 'Leak'")) << v.LastMessage();
    EXPECT_TRUE(Contains(v.LastMessage(), "1234 bytes")) << v.LastMessage();
    EXPECT_EQ(0, hk::ReportLeaks()) << "an item is reported once";
    ExFreePool(leaked);
}

TEST(MmPool, FailTagFailsAfterSkippedSuccessesForCountAllocations) {
    hk::Kernel kernel;
    hk::mm::FailTag(kTagA, 2, 2);
    bool got[6];
    void* blocks[6];
    for (int i = 0; i < 6; ++i) {
        blocks[i] = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
        got[i] = blocks[i] != nullptr;
        void* other = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);  // other tags are untouched
        EXPECT_NE(nullptr, other);
        ExFreePool(other);
    }
    const bool expected[6] = {true, true, false, false, true, true};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(expected[i], got[i]) << "allocation " << i;
        if (blocks[i] != nullptr) ExFreePool(blocks[i]);
    }
    hk::mm::FailTag(kTagB);  // forever, until cleared
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 8, kTagB));
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 8, kTagB));
    hk::mm::ClearFailures();
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    EXPECT_NE(nullptr, p);
    ExFreePool(p);
}

// A "start" that allocates four blocks with different tags and unwinds on the first failure.
int StartLikeSequence() {
    const ULONG tags[4] = {kTagA, kTagB, KX_TAG('T', 's', 't', 'C'), kTagA};
    void* blocks[4] = {};
    int made = 0;
    for (; made < 4; ++made) {
        blocks[made] = ExAllocatePoolWithTag(NonPagedPool, 32, tags[made]);
        if (blocks[made] == nullptr) break;
    }
    for (int i = 0; i < made; ++i) ExFreePool(blocks[i]);
    return made;
}

TEST(MmPool, FailAllocationWalksEveryAllocationOfAScenario) {
    hk::Kernel kernel;
    const ULONGLONG before = hk::mm::AllocationCount();
    ASSERT_EQ(4, StartLikeSequence());
    const ULONG n = static_cast<ULONG>(hk::mm::AllocationCount() - before);
    ASSERT_EQ(4u, n);
    for (ULONG k = 1; k <= n; ++k) {
        hk::mm::FailAllocation(k);
        EXPECT_EQ(static_cast<int>(k - 1), StartLikeSequence()) << "failing allocation " << k;
        EXPECT_EQ(4, StartLikeSequence()) << "only one allocation fails";
    }
    EXPECT_EQ(0, hk::ReportLeaks());
}

TEST(MmLookaside, FreedEntriesAreCachedAndReusedAndDeleteReleasesThem) {
    hk::Kernel kernel;
    constexpr ULONG kTag = KX_TAG('L', 'k', 'a', 's');
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 200, kTag, 0);
    void* entries[6];
    for (void*& e : entries) {
        e = ExAllocateFromNPagedLookasideList(&list);
        ASSERT_NE(nullptr, e);
    }
    EXPECT_EQ(6u, hk::mm::TagCount(kTag));
    for (int i = 0; i < 5; ++i) ExFreeToNPagedLookasideList(&list, entries[i]);
    EXPECT_EQ(1u, hk::mm::TagCount(kTag)) << "cached entries are not live";
    void* again = ExAllocateFromNPagedLookasideList(&list);
    bool reused = false;
    for (int i = 0; i < 5; ++i) reused |= again == entries[i];
    EXPECT_TRUE(reused) << "an allocation takes a cached entry first";
    // Injection reaches the list even while it holds cached entries: "the list is empty".
    hk::mm::FailTag(kTag, 0, 1);
    EXPECT_EQ(nullptr, ExAllocateFromNPagedLookasideList(&list));
    {
        hk::ExpectViolation v(hk::rule::kPoolMisuse);
        ExFreeToNPagedLookasideList(&list, entries[0] == again ? entries[1] : entries[0]);
        EXPECT_EQ(1, v.Count()) << "an entry freed twice";
    }
    ExFreeToNPagedLookasideList(&list, again);
    ExFreeToNPagedLookasideList(&list, entries[5]);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(0u, hk::mm::TagCount(kTag));
    EXPECT_EQ(0, hk::ReportLeaks());
}

TEST(MmLookaside, LeakReportNamesEntriesNeverFreedAndListsNeverDeleted) {
    hk::Kernel kernel;
    constexpr ULONG kTag = KX_TAG('L', 'k', 'L', 'k');
    NPAGED_LOOKASIDE_LIST deleted, forgotten;
    ExInitializeNPagedLookasideList(&deleted, nullptr, nullptr, 0, 48, kTag, 0);
    void* lost = ExAllocateFromNPagedLookasideList(&deleted);
    ExFreeToNPagedLookasideList(&deleted, ExAllocateFromNPagedLookasideList(&deleted));
    ExDeleteNPagedLookasideList(&deleted);
    hk::ExpectViolation v(hk::rule::kPoolLeak);
    EXPECT_EQ(1, hk::ReportLeaks()) << "the cached entry went with its list";
    EXPECT_TRUE(Contains(v.LastMessage(), "lookaside entry leaked: tag 'LkLk'")) << v.LastMessage();
    EXPECT_TRUE(Contains(v.LastMessage(), "48 bytes")) << v.LastMessage();
    ExFreePool(lost);  // its list is gone: it is plain pool now

    ExInitializeNPagedLookasideList(&forgotten, nullptr, nullptr, 0, 64, kTag, 0);
    ExFreeToNPagedLookasideList(&forgotten, ExAllocateFromNPagedLookasideList(&forgotten));
    EXPECT_EQ(1, hk::ReportLeaks());
    EXPECT_TRUE(Contains(v.LastMessage(), "lookaside list leaked")) << v.LastMessage();
    EXPECT_TRUE(Contains(v.LastMessage(), "64-byte entries, 1 cached")) << v.LastMessage();
}

TEST(MmLookaside, EntryFreedToAListDeletedWhileItWasOutstanding) {
    hk::Kernel kernel;
    constexpr ULONG kTag = KX_TAG('L', 'k', 'D', 'l');
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 32, kTag, 0);
    void* outstanding = ExAllocateFromNPagedLookasideList(&list);
    ExDeleteNPagedLookasideList(&list);  // a teardown that did not wait for its requests
    hk::ExpectViolation v(hk::rule::kPoolMisuse);
    ExFreeToNPagedLookasideList(&list, outstanding);
    EXPECT_EQ(1, v.Count());
    EXPECT_TRUE(Contains(v.LastMessage(), "the list was deleted while this entry was outstanding")) << v.LastMessage();
    ExFreePool(outstanding);
}

int g_customFrees = 0;
PVOID CustomAllocate(POOL_TYPE type, SIZE_T size, ULONG tag) { return ExAllocatePoolWithTag(type, size, tag); }
void CustomFree(PVOID entry) {
    ++g_customFrees;
    ExFreePool(entry);
}

TEST(MmLookaside, DriverRoutinesAllocateAndFreeTheEntries) {
    hk::Kernel kernel;
    constexpr ULONG kTag = KX_TAG('L', 'k', 'C', 'u');
    g_customFrees = 0;
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, CustomAllocate, CustomFree, 0, 32, kTag, 0);
    const ULONGLONG before = hk::mm::AllocationCount();
    void* entries[6];
    for (void*& e : entries) e = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(6u, hk::mm::AllocationCount() - before) << "the routine's own allocation is not counted twice";
    EXPECT_EQ(6u, hk::mm::TagCount(kTag));
    for (void* e : entries) ExFreeToNPagedLookasideList(&list, e);
    EXPECT_EQ(2, g_customFrees) << "entries beyond the cache go back through the free routine";
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(6, g_customFrees);
    EXPECT_EQ(0, hk::ReportLeaks());
}

TEST(MmSList, PushPopDepth) {
    hk::Kernel kernel;
    SLIST_HEADER head;
    KSPIN_LOCK lock = 0;
    InitializeSListHead(&head);
    SLIST_ENTRY e[3];
    for (SLIST_ENTRY& x : e) ExInterlockedPushEntrySList(&head, &x, &lock);
    EXPECT_EQ(3, ExQueryDepthSList(&head));
    EXPECT_EQ(&e[2], ExInterlockedPopEntrySList(&head, &lock));
    EXPECT_EQ(&e[1], ExInterlockedPopEntrySList(&head, &lock));
    EXPECT_EQ(1, ExQueryDepthSList(&head));
}

}  // namespace
