// Host kernel: the base WDM vocabulary (types, status codes, lists, strings, interlocked
// operations, memory helpers) and forward declarations of every kernel record, so that the
// domain headers (wdm_ke.h, wdm_io.h, wdm_mm.h) can refer to each other's records by pointer.
//
// Widths follow Windows x64 exactly: ULONG and LONG are 32 bits, WCHAR is 16 bits.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>

// ---------------------------------------------------------------------------------------------
// Scalar types

typedef void VOID;
typedef void* PVOID;
typedef void** PPVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef CHAR* PSZ;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef uint64_t ULONG64;
typedef ULONG64* PULONG64;
typedef int64_t LONG64;
typedef uint32_t ULONG32;
typedef int32_t LONG32;
typedef uint16_t UINT16;
typedef uint8_t UINT8;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int INT;
typedef unsigned int UINT;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef SIZE_T* PSIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef LONG KPRIORITY;
typedef CHAR KPROCESSOR_MODE;
typedef ULONG ACCESS_MASK;
typedef ACCESS_MASK* PACCESS_MASK;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG LOGICAL;
typedef ULONG_PTR KSPIN_LOCK;  // 0 when free; the owning host thread while held
typedef KSPIN_LOCK* PKSPIN_LOCK;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

#define IN
#define OUT
#define OPTIONAL
#define NTAPI
#define NTKERNELAPI
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define FORCEINLINE inline __attribute__((always_inline))

#define MAXULONG 0xFFFFFFFFu
#define MAXLONG 0x7FFFFFFF
#define MAXUSHORT 0xFFFF
#define MAXUCHAR 0xFF

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

static inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

// Processor modes and IRQLs (x64 values).
#define KernelMode 0
#define UserMode 1
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define PROFILE_LEVEL 15
#define HIGH_LEVEL 15

// ---------------------------------------------------------------------------------------------
// Status codes

#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define NT_INFORMATION(s) ((((ULONG)(s)) >> 30) == 1)
#define NT_WARNING(s) ((((ULONG)(s)) >> 30) == 2)
#define NT_ERROR(s) ((((ULONG)(s)) >> 30) == 3)

#define KX_NTSTATUS(v) ((NTSTATUS)(ULONG)(v))
#define STATUS_SUCCESS KX_NTSTATUS(0x00000000u)
#define STATUS_WAIT_0 KX_NTSTATUS(0x00000000u)
#define STATUS_WAIT_1 KX_NTSTATUS(0x00000001u)
#define STATUS_WAIT_63 KX_NTSTATUS(0x0000003Fu)
#define STATUS_ABANDONED KX_NTSTATUS(0x00000080u)
#define STATUS_ABANDONED_WAIT_0 KX_NTSTATUS(0x00000080u)
#define STATUS_USER_APC KX_NTSTATUS(0x000000C0u)
#define STATUS_KERNEL_APC KX_NTSTATUS(0x00000100u)
#define STATUS_ALERTED KX_NTSTATUS(0x00000101u)
#define STATUS_TIMEOUT KX_NTSTATUS(0x00000102u)
#define STATUS_PENDING KX_NTSTATUS(0x00000103u)
#define STATUS_REPARSE KX_NTSTATUS(0x00000104u)
#define STATUS_MORE_ENTRIES KX_NTSTATUS(0x00000105u)
#define STATUS_NOT_ALL_ASSIGNED KX_NTSTATUS(0x00000106u)
#define STATUS_MORE_PROCESSING_REQUIRED KX_NTSTATUS(0xC0000016u)
#define STATUS_OBJECT_NAME_EXISTS KX_NTSTATUS(0x40000000u)
#define STATUS_KEY_DELETED KX_NTSTATUS(0xC000017Cu)
#define STATUS_INVALID_PARAMETER_3 KX_NTSTATUS(0xC00000F1u)
#define STATUS_INVALID_DEVICE_OBJECT_PARAMETER KX_NTSTATUS(0xC0000369u)
#define STATUS_OBJECT_PATH_SYNTAX_BAD KX_NTSTATUS(0xC000003Bu)
#define STATUS_BUFFER_OVERFLOW KX_NTSTATUS(0x80000005u)
#define STATUS_NO_MORE_ENTRIES KX_NTSTATUS(0x8000001Au)
#define STATUS_UNSUCCESSFUL KX_NTSTATUS(0xC0000001u)
#define STATUS_NOT_IMPLEMENTED KX_NTSTATUS(0xC0000002u)
#define STATUS_INVALID_INFO_CLASS KX_NTSTATUS(0xC0000003u)
#define STATUS_INFO_LENGTH_MISMATCH KX_NTSTATUS(0xC0000004u)
#define STATUS_ACCESS_VIOLATION KX_NTSTATUS(0xC0000005u)
#define STATUS_INVALID_HANDLE KX_NTSTATUS(0xC0000008u)
#define STATUS_INVALID_PARAMETER KX_NTSTATUS(0xC000000Du)
#define STATUS_NO_SUCH_DEVICE KX_NTSTATUS(0xC000000Eu)
#define STATUS_INVALID_DEVICE_REQUEST KX_NTSTATUS(0xC0000010u)
#define STATUS_END_OF_FILE KX_NTSTATUS(0xC0000011u)
#define STATUS_NO_MEMORY KX_NTSTATUS(0xC0000017u)
#define STATUS_CONFLICTING_ADDRESSES KX_NTSTATUS(0xC0000018u)
#define STATUS_ACCESS_DENIED KX_NTSTATUS(0xC0000022u)
#define STATUS_BUFFER_TOO_SMALL KX_NTSTATUS(0xC0000023u)
#define STATUS_OBJECT_TYPE_MISMATCH KX_NTSTATUS(0xC0000024u)
#define STATUS_OBJECT_NAME_INVALID KX_NTSTATUS(0xC0000033u)
#define STATUS_OBJECT_NAME_NOT_FOUND KX_NTSTATUS(0xC0000034u)
#define STATUS_OBJECT_NAME_COLLISION KX_NTSTATUS(0xC0000035u)
#define STATUS_OBJECT_PATH_NOT_FOUND KX_NTSTATUS(0xC000003Au)
#define STATUS_DATA_ERROR KX_NTSTATUS(0xC000003Eu)
#define STATUS_CRC_ERROR KX_NTSTATUS(0xC000003Fu)
#define STATUS_MUTANT_NOT_OWNED KX_NTSTATUS(0xC0000046u)
#define STATUS_SEMAPHORE_LIMIT_EXCEEDED KX_NTSTATUS(0xC0000047u)
#define STATUS_DELETE_PENDING KX_NTSTATUS(0xC0000056u)
#define STATUS_INSUFFICIENT_RESOURCES KX_NTSTATUS(0xC000009Au)
#define STATUS_DEVICE_NOT_READY KX_NTSTATUS(0xC00000A3u)
#define STATUS_IO_TIMEOUT KX_NTSTATUS(0xC00000B5u)
#define STATUS_NOT_SUPPORTED KX_NTSTATUS(0xC00000BBu)
#define STATUS_DEVICE_BUSY KX_NTSTATUS(0x80000011u)
#define STATUS_INVALID_PARAMETER_1 KX_NTSTATUS(0xC00000EFu)
#define STATUS_INVALID_PARAMETER_2 KX_NTSTATUS(0xC00000F0u)
#define STATUS_CANCELLED KX_NTSTATUS(0xC0000120u)
#define STATUS_DEVICE_DOES_NOT_EXIST KX_NTSTATUS(0xC00000C0u)
#define STATUS_DEVICE_CONFIGURATION_ERROR KX_NTSTATUS(0xC0000182u)
#define STATUS_INVALID_DEVICE_STATE KX_NTSTATUS(0xC0000184u)
#define STATUS_IO_DEVICE_ERROR KX_NTSTATUS(0xC0000185u)
#define STATUS_DEVICE_PROTOCOL_ERROR KX_NTSTATUS(0xC0000186u)
#define STATUS_DEVICE_POWER_FAILURE KX_NTSTATUS(0xC000009Eu)
#define STATUS_DEVICE_REMOVED KX_NTSTATUS(0xC00002B6u)
#define STATUS_REQUEST_ABORTED KX_NTSTATUS(0xC0000240u)
#define STATUS_INVALID_USER_BUFFER KX_NTSTATUS(0xC00000E8u)
#define STATUS_INVALID_BUFFER_SIZE KX_NTSTATUS(0xC0000206u)
#define STATUS_INVALID_ADDRESS KX_NTSTATUS(0xC0000141u)
#define STATUS_DATATYPE_MISALIGNMENT KX_NTSTATUS(0x80000002u)
#define STATUS_NO_DATA_DETECTED KX_NTSTATUS(0x80000022u)
#define STATUS_HOST_UNREACHABLE KX_NTSTATUS(0xC000023Du)
#define STATUS_PROCESS_IS_TERMINATING KX_NTSTATUS(0xC000010Au)
#define STATUS_THREAD_IS_TERMINATING KX_NTSTATUS(0xC000004Bu)
#define STATUS_TOO_MANY_COMMANDS KX_NTSTATUS(0xC00000C1u)
#define STATUS_ALREADY_COMMITTED KX_NTSTATUS(0xC0000021u)
#define STATUS_NOT_FOUND KX_NTSTATUS(0xC0000225u)

// ---------------------------------------------------------------------------------------------
// Lists (inline, as in the kernel headers)

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY, *PRLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - offsetof(type, field)))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)

static inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
static inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
static inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
    PLIST_ENTRY next = entry->Flink;
    PLIST_ENTRY prev = entry->Blink;
    prev->Flink = next;
    next->Blink = prev;
    return (BOOLEAN)(next == prev);
}
static inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
    PLIST_ENTRY entry = head->Flink;
    RemoveEntryList(entry);
    return entry;
}
static inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
    PLIST_ENTRY entry = head->Blink;
    RemoveEntryList(entry);
    return entry;
}
static inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    PLIST_ENTRY prev = head->Blink;
    entry->Flink = head;
    entry->Blink = prev;
    prev->Flink = entry;
    head->Blink = entry;
}
static inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    PLIST_ENTRY next = head->Flink;
    entry->Flink = next;
    entry->Blink = head;
    next->Blink = entry;
    head->Flink = entry;
}
static inline void PushEntryList(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry) {
    entry->Next = head->Next;
    head->Next = entry;
}
static inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY head) {
    PSINGLE_LIST_ENTRY first = head->Next;
    if (first != nullptr) head->Next = first->Next;
    return first;
}

// ---------------------------------------------------------------------------------------------
// Strings

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without terminator
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;

extern "C" {
void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source);
void RtlCopyUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN CaseInSensitive);
}

// ---------------------------------------------------------------------------------------------
// Memory helpers

#define RtlCopyMemory(d, s, n) __builtin_memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) __builtin_memmove((d), (s), (n))
#define RtlFillMemory(d, n, f) __builtin_memset((d), (f), (n))
#define RtlZeroMemory(d, n) __builtin_memset((d), 0, (n))
#define RtlEqualMemory(a, b, n) (__builtin_memcmp((a), (b), (n)) == 0)
static inline SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T length) {
    const UCHAR* p = static_cast<const UCHAR*>(a);
    const UCHAR* q = static_cast<const UCHAR*>(b);
    SIZE_T i = 0;
    while (i < length && p[i] == q[i]) ++i;
    return i;
}
static inline USHORT RtlUshortByteSwap(USHORT v) { return __builtin_bswap16(v); }
static inline ULONG RtlUlongByteSwap(ULONG v) { return __builtin_bswap32(v); }
static inline ULONGLONG RtlUlonglongByteSwap(ULONGLONG v) { return __builtin_bswap64(v); }

// ---------------------------------------------------------------------------------------------
// Interlocked operations (full barriers, as on x64)

static inline LONG InterlockedIncrement(LONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedDecrement(LONG volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedExchange(LONG volatile* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedOr(LONG volatile* p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedAnd(LONG volatile* p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
static inline LONG64 InterlockedIncrement64(LONG64 volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
static inline LONG64 InterlockedDecrement64(LONG64 volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
static inline LONG64 InterlockedExchange64(LONG64 volatile* p, LONG64 v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
static inline LONG64 InterlockedCompareExchange64(LONG64 volatile* p, LONG64 exchange, LONG64 comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
static inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
static inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define MemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define KeMemoryBarrierWithoutFence() __atomic_signal_fence(__ATOMIC_SEQ_CST)

// ---------------------------------------------------------------------------------------------
// Forward declarations of the kernel records (bodies in wdm_ke.h, wdm_io.h, wdm_mm.h)

#define KX_DECLARE_RECORD(tag, name) \
    struct tag;                      \
    typedef struct tag name, *P##name, *PR##name

// wdm_ke.h
KX_DECLARE_RECORD(_KEVENT, KEVENT);
KX_DECLARE_RECORD(_KMUTANT, KMUTANT);
typedef KMUTANT KMUTEX, *PKMUTEX, *PRKMUTEX;
KX_DECLARE_RECORD(_KSEMAPHORE, KSEMAPHORE);
KX_DECLARE_RECORD(_KDPC, KDPC);
KX_DECLARE_RECORD(_KTIMER, KTIMER);
KX_DECLARE_RECORD(_KTHREAD, KTHREAD);
KX_DECLARE_RECORD(_KINTERRUPT, KINTERRUPT);
KX_DECLARE_RECORD(_KWAIT_BLOCK, KWAIT_BLOCK);
KX_DECLARE_RECORD(_KPROCESS, KPROCESS);
typedef KTHREAD* PETHREAD;
typedef KPROCESS* PEPROCESS;
// wdm_io.h
KX_DECLARE_RECORD(_DRIVER_OBJECT, DRIVER_OBJECT);
KX_DECLARE_RECORD(_DEVICE_OBJECT, DEVICE_OBJECT);
KX_DECLARE_RECORD(_FILE_OBJECT, FILE_OBJECT);
KX_DECLARE_RECORD(_IRP, IRP);
KX_DECLARE_RECORD(_IO_STACK_LOCATION, IO_STACK_LOCATION);
KX_DECLARE_RECORD(_IO_WORKITEM, IO_WORKITEM);
KX_DECLARE_RECORD(_OBJECT_TYPE, OBJECT_TYPE);
KX_DECLARE_RECORD(_OBJECT_ATTRIBUTES, OBJECT_ATTRIBUTES);
KX_DECLARE_RECORD(_IO_STATUS_BLOCK, IO_STATUS_BLOCK);
// wdm_mm.h
KX_DECLARE_RECORD(_MDL, MDL);
KX_DECLARE_RECORD(_DMA_ADAPTER, DMA_ADAPTER);
KX_DECLARE_RECORD(_NPAGED_LOOKASIDE_LIST, NPAGED_LOOKASIDE_LIST);
KX_DECLARE_RECORD(_SCATTER_GATHER_LIST, SCATTER_GATHER_LIST);

typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;

// ---------------------------------------------------------------------------------------------
// Debug output and assertions

extern "C" {
ULONG DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) __attribute__((format(printf, 3, 4)));
[[noreturn]] void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4);
[[noreturn]] void KxHostAssertFailed(const char* expression, const char* file, int line);
}
#define ASSERT(e) ((e) ? (void)0 : KxHostAssertFailed(#e, __FILE__, __LINE__))
#define NT_ASSERT(e) ASSERT(e)
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_INFO_LEVEL 3
