// Object manager, handles and processes: reference counts, handle type and access checks as
// Windows makes them, kernel handles, duplicated handles with lesser access, process exit.
#include <gtest/gtest.h>

#include <string>

#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "hk_wdm.h"
#include "kxplatform.h"

namespace {

TEST(IoObjects, DereferenceOfADeletedObjectIsReported) {
    hk::Kernel kernel;
    PVOID object = hk::CreateObject(*ExEventObjectType, sizeof(KEVENT), nullptr);
    EXPECT_EQ(ObReferenceObject(object), 2);
    EXPECT_EQ(ObDereferenceObject(object), 1);
    EXPECT_EQ(ObDereferenceObject(object), 0);
    hk::ExpectViolation v(hk::rule::kObject);
    ObDereferenceObject(object);
    EXPECT_EQ(v.Count(), 1);
}

struct HandleCase {
    const char* what;
    ACCESS_MASK handleAccess;  // 0: the handle is closed before the reference
    bool otherProcess;
    ACCESS_MASK desired;
    bool eventType;            // reference as an event (else as a file)
    NTSTATUS expected;
};

TEST(IoObjects, UserModeReferenceChecksHandleTypeAndGrantedAccess) {
    const HandleCase cases[] = {
        {"all access, asking modify and query", EVENT_ALL_ACCESS, false, 0x000F0001u, true, STATUS_SUCCESS},
        {"all access, any type", EVENT_ALL_ACCESS, false, EVENT_MODIFY_STATE, false, STATUS_OBJECT_TYPE_MISMATCH},
        {"all access, thread rights", EVENT_ALL_ACCESS, false, 0x001F03FFu, true, STATUS_ACCESS_DENIED},
        {"duplicate, asking what it has", SYNCHRONIZE | EVENT_MODIFY_STATE, false, EVENT_MODIFY_STATE, true,
         STATUS_SUCCESS},
        {"duplicate, asking more", SYNCHRONIZE | EVENT_MODIFY_STATE, false, EVENT_QUERY_STATE, true,
         STATUS_ACCESS_DENIED},
        {"duplicate, generic write", SYNCHRONIZE | EVENT_MODIFY_STATE, false, GENERIC_WRITE, true,
         STATUS_ACCESS_DENIED},
        {"closed handle", 0, false, EVENT_MODIFY_STATE, true, STATUS_INVALID_HANDLE},
        {"handle of another process", EVENT_ALL_ACCESS, true, EVENT_MODIFY_STATE, true, STATUS_INVALID_HANDLE},
    };
    for (const HandleCase& c : cases) {
        SCOPED_TRACE(c.what);
        hk::Kernel kernel;
        PEPROCESS program = hk::CreateProcess("program");
        HANDLE event = hk::user::CreateEvent(program, true, false);
        ASSERT_NE(event, nullptr);
        HANDLE handle = event;
        if (c.handleAccess != EVENT_ALL_ACCESS && c.handleAccess != 0) {
            ASSERT_EQ(hk::user::DuplicateHandle(program, event, c.handleAccess, &handle), STATUS_SUCCESS);
        }
        if (c.handleAccess == 0) {
            ASSERT_EQ(hk::user::CloseHandle(program, event), STATUS_SUCCESS);
        }
        // The driver references it in the context of the requesting process.
        PEPROCESS context = c.otherProcess ? hk::TestProcess() : program;
        hk::SetThreadProcess(hk::CurrentThread(), context);
        PVOID object = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(handle, c.desired, c.eventType ? *ExEventObjectType : *IoFileObjectType,
                                                    UserMode, &object, nullptr);
        EXPECT_EQ(status, c.expected);
        EXPECT_EQ(object != nullptr, NT_SUCCESS(status));
        if (object != nullptr) {
            KeSetEvent(static_cast<PRKEVENT>(object), 0, FALSE);
            ObDereferenceObject(object);
        }
        hk::SetThreadProcess(hk::CurrentThread(), hk::TestProcess());
    }
}

TEST(IoObjects, DuplicateCannotWidenAccessAndUntypedReferenceFindsAnyObject) {
    hk::Kernel kernel;
    PEPROCESS program = hk::CreateProcess("program");
    HANDLE event = hk::user::CreateEvent(program, true, false);
    HANDLE narrow = nullptr;
    ASSERT_EQ(hk::user::DuplicateHandle(program, event, SYNCHRONIZE, &narrow), STATUS_SUCCESS);
    HANDLE wider = nullptr;
    EXPECT_EQ(hk::user::DuplicateHandle(program, narrow, EVENT_ALL_ACCESS, &wider), STATUS_ACCESS_DENIED);
    hk::SetThreadProcess(hk::CurrentThread(), program);
    PVOID object = nullptr;
    OBJECT_HANDLE_INFORMATION info{};
    ASSERT_EQ(ObReferenceObjectByHandle(narrow, SYNCHRONIZE, nullptr, UserMode, &object, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.GrantedAccess, SYNCHRONIZE);
    EXPECT_EQ(hk::TypeOfObject(object), *ExEventObjectType);
    ObDereferenceObject(object);
    hk::SetThreadProcess(hk::CurrentThread(), hk::TestProcess());
    // The program's event works through its handles.
    ULONGLONG timeout = 10000;
    EXPECT_EQ(hk::user::WaitEvent(program, event, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(hk::user::SetEvent(program, event), STATUS_SUCCESS);
    EXPECT_EQ(hk::user::WaitEvent(program, narrow, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(hk::HandleCount(program), 2u);
    hk::ExitProcess(program);
    EXPECT_EQ(hk::HandleCount(program), 0u);
}

TEST(IoObjects, KernelModeReferenceOfAUserHandleOrAnInvalidHandleIsReported) {
    hk::Kernel kernel;
    PEPROCESS program = hk::CreateProcess("program");
    HANDLE event = hk::user::CreateEvent(program, true, false);
    hk::SetThreadProcess(hk::CurrentThread(), program);
    PVOID object = nullptr;
    {
        hk::ExpectViolation v(hk::rule::kHandle);
        EXPECT_EQ(ObReferenceObjectByHandle(event, 0, *ExEventObjectType, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(v.Count(), 1);
        ObDereferenceObject(object);
    }
    hk::SetThreadProcess(hk::CurrentThread(), hk::SystemProcess());
    {
        hk::ExpectViolation v(hk::rule::kHandle);
        EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, nullptr, KernelMode, &object,
                                            nullptr),
                  STATUS_INVALID_HANDLE);
        EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x1238)), STATUS_INVALID_HANDLE);
        EXPECT_EQ(v.Count(), 2);
    }
    hk::SetThreadProcess(hk::CurrentThread(), hk::TestProcess());
}

TEST(IoObjects, KernelHandlesBelongToTheSystemProcessAndSkipAccessChecks) {
    hk::Kernel kernel;
    PVOID body = hk::CreateObject(*ExEventObjectType, sizeof(KEVENT), nullptr);
    KeInitializeEvent(static_cast<PRKEVENT>(body), NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(hk::InsertHandle(hk::SystemProcess(), body, SYNCHRONIZE, &handle), STATUS_SUCCESS);
    ObDereferenceObject(body);
    // Usable from a user process's context in KernelMode, with any access.
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_ALL_ACCESS, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(object, body);
    EXPECT_EQ(hk::ObjectReferenceCount(body), 2);
    ObDereferenceObject(object);
    // Not from user mode.
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST(IoObjects, ProcessesKnowTheirWidthAndIds) {
    hk::Kernel kernel;
    PEPROCESS p32 = hk::CreateProcess("camera32", true, false);
    EXPECT_TRUE(hk::Is32BitProcess(p32));
    EXPECT_FALSE(hk::Is32BitProcess(hk::TestProcess()));
    EXPECT_EQ(PsGetCurrentProcess(), hk::TestProcess());
    EXPECT_NE(PsGetProcessId(p32), PsGetProcessId(hk::TestProcess()));
    EXPECT_EQ(PsGetCurrentProcessId(), PsGetProcessId(hk::TestProcess()));
    EXPECT_NE(hk::ProcessAddressSpace(p32), nullptr);
    hk::ExitProcess(p32);
    EXPECT_TRUE(hk::ProcessExited(p32));
    EXPECT_EQ(hk::ProcessAddressSpace(p32), nullptr);
}

}  // namespace

namespace {

// Services that run only at PASSIVE_LEVEL, called at APC_LEVEL, and the probe of a user buffer
// called at DISPATCH_LEVEL: each is reported by name.
TEST(IoObjects, PassiveLevelServicesCalledAtApcLevelAreReported) {
    hk::Kernel kernel;
    PEPROCESS program = hk::CreateProcess("program");
    HANDLE event = hk::user::CreateEvent(program, true, false);
    struct Case {
        const char* name;
        void (*call)(HANDLE event);
        KIRQL level = APC_LEVEL;
    };
    const Case cases[] = {
        {"KxProbeAndLockPages",
         [](HANDLE) {
             void* buffer = hk::user::Alloc(hk::CurrentProcess(), 64);
             PMDL mdl = IoAllocateMdl(buffer, 64, FALSE, FALSE, nullptr);  // fine at DISPATCH_LEVEL
             if (NT_SUCCESS(KxProbeAndLockPages(mdl, UserMode, IoReadAccess))) MmUnlockPages(mdl);
             IoFreeMdl(mdl);
         },
         DISPATCH_LEVEL},
        {"ObReferenceObjectByHandle with UserMode",
         [](HANDLE handle) {
             PVOID object = nullptr;
             if (NT_SUCCESS(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode,
                                                      &object, nullptr)))
                 ObDereferenceObject(object);
         }},
        {"ZwOpenKey",
         [](HANDLE) {
             UNICODE_STRING name;
             RtlInitUnicodeString(&name, KX_WSTR("\\Registry\\Machine\\System\\Nowhere"));
             OBJECT_ATTRIBUTES attributes;
             InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr,
                                        nullptr);
             HANDLE key = nullptr;
             if (NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) ZwClose(key);
         }},
        {"KeFlushQueuedDpcs", [](HANDLE) { KeFlushQueuedDpcs(); }},
    };
    hk::SetThreadProcess(hk::CurrentThread(), program);
    for (const Case& c : cases) {
        KIRQL old;
        KeRaiseIrql(c.level, &old);
        hk::ExpectViolation v(hk::rule::kIrql);
        c.call(event);
        EXPECT_EQ(v.Count(), 1) << c.name;
        EXPECT_NE(std::string(v.LastMessage()).find(c.name), std::string::npos) << v.LastMessage();
        KeLowerIrql(old);
    }
    hk::SetThreadProcess(hk::CurrentThread(), hk::TestProcess());
}

}  // namespace
