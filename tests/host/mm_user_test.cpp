// Host kernel mm: user address spaces, guard pages, probe-and-lock of MDLs and checked user copies.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "kxplatform.h"

namespace {

bool Contains(const char* text, const char* part) { return std::string(text).find(part) != std::string::npos; }

// Whether the host can read the byte at `address` (write(2) reports EFAULT instead of crashing).
bool Readable(const void* address) {
    int fds[2];
    if (pipe(fds) != 0) return true;
    const ssize_t n = write(fds[1], address, 1);  // the kernel copies the byte, or answers EFAULT
    const int error = errno;
    close(fds[0]);
    close(fds[1]);
    return n == 1 || error != EFAULT;
}

TEST(MmUser, ThirtyTwoBitProcessGetsMemoryBelow2GiB) {
    hk::Kernel kernel;
    PEPROCESS p32 = hk::CreateProcess("app32", true, false);
    PEPROCESS p64 = hk::CreateProcess("app64", false, false);
    for (int i = 0; i < 8; ++i) {
        char* b = static_cast<char*>(hk::user::Alloc(p32, 3 * PAGE_SIZE + 5));
        ASSERT_NE(nullptr, b);
        EXPECT_LT(reinterpret_cast<ULONG_PTR>(b) + 3 * PAGE_SIZE + 5, 0x80000000ull);
        EXPECT_EQ(0u, reinterpret_cast<ULONG_PTR>(b) % 16);
    }
    EXPECT_NE(nullptr, hk::user::Alloc(p64, 100));
}

TEST(MmUser, LargeAddressAwareProcessGetsMemoryBetween2And4GiB) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps its shadow memory between 2 and 4 GiB: run in the debug build";
#endif
    hk::Kernel kernel;
    PEPROCESS laa = hk::CreateProcess("app32laa", true, true);
    void* high = hk::user::AllocHigh(laa, 2 * PAGE_SIZE);
    ASSERT_NE(nullptr, high);
    EXPECT_GE(reinterpret_cast<ULONG_PTR>(high), 0x80000000ull);
    EXPECT_LT(reinterpret_cast<ULONG_PTR>(high) + 2 * PAGE_SIZE, 0x100000000ull);
    EXPECT_TRUE(hk::user::Owns(laa, high, 2 * PAGE_SIZE, true));
}

TEST(MmUser, BufferLiesBetweenGuardPages) {
    hk::Kernel kernel;
    PEPROCESS process = hk::CurrentProcess();
    constexpr SIZE_T kSize = PAGE_SIZE + 48;  // a multiple of 16: the buffer ends at the guard page
    char* b = static_cast<char*>(hk::user::Alloc(process, kSize));
    ASSERT_NE(nullptr, b);
    memset(b, 0x5A, kSize);
    EXPECT_TRUE(Readable(b));
    EXPECT_TRUE(Readable(b + kSize - 1));
    EXPECT_FALSE(Readable(b + kSize)) << "the byte after the buffer is a guard page";
    EXPECT_FALSE(Readable(static_cast<char*>(PAGE_ALIGN(b)) - 1)) << "the page before the buffer is a guard page";
    EXPECT_TRUE(hk::user::Owns(process, b, kSize, true));
    EXPECT_FALSE(hk::user::Owns(process, b, kSize + 1, false));
    EXPECT_FALSE(hk::user::Owns(process, b - 1, 2, false));
    hk::user::Free(process, b);
    EXPECT_FALSE(Readable(b)) << "freed user memory is gone";
    EXPECT_FALSE(hk::user::Owns(process, b, 1, false));
}

TEST(MmMdl, ProbeAndLockAcceptsOnlyMemoryTheCurrentProcessOwns) {
    hk::Kernel kernel;
    PEPROCESS self = hk::CurrentProcess();
    PEPROCESS other = hk::CreateProcess("other", false, false);
    char* mine = static_cast<char*>(hk::user::Alloc(self, 3 * PAGE_SIZE));
    char* readOnly = static_cast<char*>(hk::user::Alloc(self, 64));
    hk::user::SetReadOnly(self, readOnly, true);
    char* theirs = static_cast<char*>(hk::user::Alloc(other, 64));
    static char kernelData[64];
    struct Case {
        const char* name;
        void* va;
        ULONG length;
        LOCK_OPERATION operation;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"own buffer, write", mine + 100, 2 * PAGE_SIZE, IoWriteAccess, STATUS_SUCCESS},
        {"own buffer, read", mine, 3 * PAGE_SIZE, IoReadAccess, STATUS_SUCCESS},
        {"one byte past the end", mine + 1, 3 * PAGE_SIZE, IoReadAccess, STATUS_ACCESS_VIOLATION},
        {"read-only buffer, read", readOnly, 64, IoReadAccess, STATUS_SUCCESS},
        {"read-only buffer, write", readOnly, 64, IoWriteAccess, STATUS_ACCESS_VIOLATION},
        {"another process's buffer", theirs, 64, IoReadAccess, STATUS_ACCESS_VIOLATION},
        {"kernel memory", kernelData, 64, IoReadAccess, STATUS_ACCESS_VIOLATION},
        {"null", nullptr, 4, IoWriteAccess, STATUS_ACCESS_VIOLATION},
    };
    for (const Case& c : cases) {
        PMDL mdl = IoAllocateMdl(c.va, c.length, FALSE, FALSE, nullptr);
        ASSERT_NE(nullptr, mdl) << c.name;
        {
            // Another program's address is a pointer this program does not own: it fails as
            // Windows fails it, and is no driver mistake (the caller gave it).
            hk::ExpectViolation wrongContext(hk::rule::kUserAddress);
            EXPECT_EQ(c.expected, KxProbeAndLockPages(mdl, UserMode, c.operation)) << c.name;
            EXPECT_EQ(0, wrongContext.Count()) << c.name;
        }
        if (NT_SUCCESS(c.expected)) {
            EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED) << c.name;
            char* system = static_cast<char*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
            ASSERT_NE(nullptr, system) << c.name;
            EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) << c.name;
            EXPECT_EQ(0, memcmp(system, c.va, c.length)) << c.name;
            MmUnlockPages(mdl);
            EXPECT_FALSE(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA)) << c.name;
        } else {
            EXPECT_FALSE(mdl->MdlFlags & MDL_PAGES_LOCKED) << c.name;
        }
        IoFreeMdl(mdl);
    }
    // Kernel-mode callers are trusted: the same kernel buffer locks for KernelMode.
    PMDL mdl = IoAllocateMdl(kernelData, sizeof kernelData, FALSE, FALSE, nullptr);
    EXPECT_EQ(STATUS_SUCCESS, KxProbeAndLockPages(mdl, KernelMode, IoWriteAccess));
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    EXPECT_EQ(0, hk::ReportLeaks());
}

TEST(MmMdl, UnguardedProbeOfForeignMemoryIsAnUnhandledException) {
    hk::Kernel kernel;
    static char kernelData[32];
    PMDL mdl = IoAllocateMdl(kernelData, sizeof kernelData, FALSE, FALSE, nullptr);
    hk::ExpectViolation v(hk::rule::kUnhandledException);
    MmProbeAndLockPages(mdl, UserMode, IoReadAccess);
    EXPECT_EQ(1, v.Count());
    EXPECT_TRUE(Contains(v.LastMessage(), "KxProbeAndLockPages")) << v.LastMessage();
    EXPECT_FALSE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    IoFreeMdl(mdl);
}

TEST(MmMdl, LockedPagesMisuseAndLeaksAreReported) {
    hk::Kernel kernel;
    PEPROCESS app = hk::CreateProcess("app", false, false);
    char* buffer = static_cast<char*>(hk::user::Alloc(app, 2 * PAGE_SIZE));
    PMDL mdl = nullptr;
    PKTHREAD thread = hk::StartThread("app thread", app, [&] {
        mdl = IoAllocateMdl(buffer, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, KxProbeAndLockPages(mdl, UserMode, IoWriteAccess));
    });
    hk::JoinThread(thread);
    {
        hk::ExpectViolation v(hk::rule::kPoolLeak);
        hk::ExitProcess(app);
        EXPECT_EQ(1, v.Count());
        EXPECT_TRUE(Contains(v.LastMessage(), "process exits with locked pages")) << v.LastMessage();
    }
    buffer[0] = 1;  // locked pages stay resident after the process is gone
    {
        hk::ExpectViolation v(hk::rule::kPoolMisuse);
        IoFreeMdl(mdl);  // still locked
        EXPECT_EQ(1, v.Count());
        EXPECT_TRUE(Contains(v.LastMessage(), "still locked")) << v.LastMessage();
    }
    EXPECT_FALSE(Readable(buffer)) << "the last unlock released the pages";

    PMDL leaked = IoAllocateMdl(hk::user::Alloc(hk::CurrentProcess(), 10), 10, FALSE, FALSE, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, KxProbeAndLockPages(leaked, UserMode, IoReadAccess));
    hk::ExpectViolation v(hk::rule::kPoolLeak);
    EXPECT_EQ(2, hk::ReportLeaks());  // the MDL's pool block and its locked pages
    EXPECT_TRUE(Contains(v.LastMessage(), "locked MDL leaked")) << v.LastMessage();
    MmUnlockPages(leaked);
    IoFreeMdl(leaked);
}

// A secured range cannot be freed (as VirtualFree fails) until the process that secured it
// unsecures it; unsecuring from another process is refused, and a process that ends takes its
// secured ranges with it.
TEST(MmUser, SecuredRangeCannotBeFreed) {
    hk::Kernel kernel;
    PEPROCESS app = hk::CreateProcess("app", false, false);
    char* buffer = static_cast<char*>(hk::user::Alloc(app, 3 * PAGE_SIZE));
    char* readOnly = static_cast<char*>(hk::user::Alloc(app, 64));
    hk::user::SetReadOnly(app, readOnly, true);
    HANDLE secured = nullptr;
    PKTHREAD thread = hk::StartThread("app thread", app, [&] {
        EXPECT_EQ(nullptr, MmSecureVirtualMemory(buffer + PAGE_SIZE, 3 * PAGE_SIZE, PAGE_READWRITE)) << "past the end";
        EXPECT_EQ(nullptr, MmSecureVirtualMemory(readOnly, 64, PAGE_READWRITE));
        secured = MmSecureVirtualMemory(buffer + 16, PAGE_SIZE, PAGE_READWRITE);
    });
    hk::JoinThread(thread);
    ASSERT_NE(nullptr, secured);
    EXPECT_FALSE(hk::user::Free(app, buffer));
    {
        hk::ExpectViolation v(hk::rule::kPoolMisuse);
        MmUnsecureVirtualMemory(secured);   // from the system process
        EXPECT_EQ(1, v.Count());
        EXPECT_TRUE(Contains(v.LastMessage(), "not in the process")) << v.LastMessage();
    }
    // A thread of the system process attached to the program works in the program's context: its
    // memory and its secured ranges.
    EXPECT_EQ(STATUS_PENDING, PsGetProcessExitStatus(app));
    thread = hk::StartThread("system worker", hk::SystemProcess(), [&] {
        KAPC_STATE state;
        KeStackAttachProcess(app, &state);
        EXPECT_EQ(PsGetCurrentProcess(), app);
        char first = 1;
        EXPECT_EQ(STATUS_SUCCESS, KxCopyFromUser(&first, buffer, 1));
        MmUnsecureVirtualMemory(secured);
        KeUnstackDetachProcess(&state);
        EXPECT_EQ(PsGetCurrentProcess(), hk::SystemProcess());
    });
    hk::JoinThread(thread);
    EXPECT_TRUE(hk::user::Free(app, buffer));
    {
        hk::ExpectViolation v(hk::rule::kDispatcher);
        KAPC_STATE none{};
        KeUnstackDetachProcess(&none);
        EXPECT_EQ(1, v.Count());
    }

    char* kept = static_cast<char*>(hk::user::Alloc(app, 100));
    thread = hk::StartThread("app thread", app, [&] { secured = MmSecureVirtualMemory(kept, 100, PAGE_READONLY); });
    hk::JoinThread(thread);
    ASSERT_NE(nullptr, secured);
    hk::ExitProcess(app);
    EXPECT_EQ(STATUS_SUCCESS, PsGetProcessExitStatus(app));
    MmUnsecureVirtualMemory(secured);   // gone with the process: nothing to undo, nothing reported
}

TEST(MmMdl, PagesUnlockedTwice) {
    hk::Kernel kernel;
    char* buffer = static_cast<char*>(hk::user::Alloc(hk::CurrentProcess(), 100));
    PMDL mdl = IoAllocateMdl(buffer, 100, FALSE, FALSE, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, KxProbeAndLockPages(mdl, UserMode, IoReadAccess));
    MmUnlockPages(mdl);
    hk::ExpectViolation v(hk::rule::kPoolMisuse);
    MmUnlockPages(mdl);
    EXPECT_EQ(1, v.Count());
    EXPECT_TRUE(Contains(v.LastMessage(), "not locked")) << v.LastMessage();
    IoFreeMdl(mdl);
}

TEST(MmMdl, NonPagedPoolMdlNeedsNoLocking) {
    hk::Kernel kernel;
    void* block = ExAllocatePoolWithTag(NonPagedPool, 3000, KX_TAG('N', 'p', 'M', 'd'));
    PMDL mdl = IoAllocateMdl(block, 3000, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    EXPECT_EQ(block, MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    EXPECT_EQ(block, MmGetMdlVirtualAddress(mdl));
    EXPECT_EQ(3000u, MmGetMdlByteCount(mdl));
    EXPECT_EQ(BYTE_OFFSET(block), MmGetMdlByteOffset(mdl));
    {
        hk::ExpectViolation v(hk::rule::kPoolMisuse);
        MmUnlockPages(mdl);
        EXPECT_EQ(1, v.Count()) << "non-paged pool MDLs are not locked";
    }
    IoFreeMdl(mdl);
    void* paged = ExAllocatePoolWithTag(PagedPool, 64, KX_TAG('N', 'p', 'M', 'd'));
    mdl = IoAllocateMdl(paged, 64, FALSE, FALSE, nullptr);
    {
        hk::ExpectViolation v(hk::rule::kPoolMisuse);
        MmBuildMdlForNonPagedPool(mdl);
        EXPECT_EQ(1, v.Count()) << "paged pool is not non-paged";
    }
    IoFreeMdl(mdl);
    ExFreePool(paged);
    ExFreePool(block);
}

TEST(MmUser, CopiesCheckTheCurrentProcess) {
    hk::Kernel kernel;
    PEPROCESS app = hk::CurrentProcess();
    char* buffer = static_cast<char*>(hk::user::Alloc(app, 16));
    char data[16] = "fifteen bytes..";
    char back[16] = {};
    EXPECT_EQ(STATUS_SUCCESS, KxCopyToUser(buffer, data, 16));
    EXPECT_EQ(STATUS_SUCCESS, KxCopyFromUser(back, buffer, 16));
    EXPECT_EQ(0, memcmp(data, back, 16));
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, KxCopyFromUser(back, buffer + 1, 16));
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, KxCopyToUser(data, back, 16)) << "kernel memory is not user memory";
    // A system thread runs in the system process: the application's buffer is not its memory, and
    // using its address there is the wrong-context mistake.
    NTSTATUS fromSystem = STATUS_SUCCESS;
    hk::ExpectViolation wrongContext(hk::rule::kUserAddress);
    hk::JoinThread(hk::StartThread("worker", hk::SystemProcess(),
                                   [&] { fromSystem = KxCopyFromUser(back, buffer, 16); }));
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, fromSystem);
    EXPECT_EQ(1, wrongContext.Count());
    EXPECT_TRUE(Contains(wrongContext.LastMessage(), "user memory of another process")) << wrongContext.LastMessage();
}

}  // namespace
