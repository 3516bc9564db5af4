// The isochronous receive engine: IR context hand-out, the stream and request records, the
// descriptor areas and the input programs built over the scatter/gather lists of caller buffers
// locked for DMA, linking onto a running context, the receive deferred call, time-outs, bus
// resets and the finish routine that the driver client's worker runs, one completion per signal
// of the caller's event.
//
// Floors: the engine sees the OhciController and its register window; it reaches the client
// worker only through the wake routine its opener hands it.
#pragma once

#include "kxplatform.h"
#include "iso_records.h"
#include "ohci/dma_memory.h"

struct OhciController;

namespace isorx {

constexpr ULONG kHandedOutContexts = 4;   // IR contexts 0..3
constexpr ULONG kMaxAreas = 32;           // IsoRxNumOfBuf (at most 31) + 1

// Status words of a completed buffer.
constexpr ULONG kStatusDone = 0;
constexpr ULONG kStatusBusReset = 1;
constexpr ULONG kStatusTimeout = 11;
constexpr ULONG kStatusFlushed = 12;

constexpr ULONG kNoCycleMatch = 0xFFFFFFFFu;

// A kernel caller's stream (the 1394 class interface): no event and no process; its context runs
// only while the caller listens. Each of its buffers ends exactly once: through Done (dispatch
// level, with the buffer's status and, when it asked for a time stamp, the cycle timer read when
// it completed), or by a DetachKernelBuffer that found it.
typedef void (*KernelBufferDone)(PVOID context, PVOID buffer, ULONG status, ULONG cycleTime);
typedef void (*KernelStreamClosed)(PVOID context);
struct KernelCaller {
    KernelBufferDone Done;
    KernelStreamClosed Closed;   // passive level, context mutex held, before the buffers end
    PVOID Context;
};

// The descriptor memory of one program: single pages from the receive adapter.
struct DescriptorArea {
    CommonBuffer* Pages;     // AreaPages of them (ZODA)
    ULONG PageCount;
};

struct Stream;

// A caller's buffer kept locked, mapped and secured (it cannot be freed meanwhile) from one of its
// attaches to the next, so that a program turning over the same buffers pays for locking and
// mapping their pages once: until the stream is flushed or closed, or until more than
// kMaxIdleMappings buffers wait to be attached again. Only buffers of the process that opened
// the stream are kept.
struct MappedBuffer {
    LIST_ENTRY Link;         // the stream's Mappings, least recently attached first
    ULONGLONG Data;          // the program's addresses it was attached with
    ULONGLONG Header;        // 0: no header buffer
    PMDL* DataMdls;          // the arrays of the request that mapped it first (ZOIM)
    PSCATTER_GATHER_LIST* DataLists;
    ULONG DataChunks;
    PMDL* HeaderMdls;
    PSCATTER_GATHER_LIST* HeaderLists;
    ULONG HeaderChunks;
    PUCHAR* Views;           // copy mode: system mappings, data chunks then header chunks
    HANDLE Secured[2];       // data, header
    volatile LONG InUse;     // an attached request holds it
};

constexpr ULONG kMaxIdleMappings = 8;

// One attached caller buffer.
struct Request {
    LIST_ENTRY Link;         // Attached, Queued or Completed of its stream
    Stream* Owner;
    ULONG Status;
    BufferRecord Buffer;
    PMDL StatusMdl;
    PULONG StatusWord;       // system mapping of the caller's status word
    // Mappings of the data and header buffers, one MDL and list per chunk (ZOIM block).
    PMDL* DataMdls;
    PSCATTER_GATHER_LIST* DataLists;
    ULONG DataChunks;
    ULONG DataMapped;
    PMDL* HeaderMdls;
    PSCATTER_GATHER_LIST* HeaderLists;
    ULONG HeaderChunks;
    ULONG HeaderMapped;
    KEVENT MapEvent;         // the list of the chunk asked for has come
    MappedBuffer* Mapping;   // the kept mapping its buffer arrays belong to, or null
    LONG Area;               // the area holding its program, -1 none
    LONG PreviousArea;       // the tail it was linked behind, -1 none
    PULONG StatusQuadlet;    // q3 the controller writes when the last packet is stored
    ULONG StatusPreset;      // dual-buffer: the counts it holds until then
    ULONG FirstCommand;      // bus address of the first descriptor | Z
    PULONG TailBranch;       // branch quadlet of the program's last descriptor
    KSPIN_LOCK BuildLock;    // mappings released against program building
    ULONG DataChunkBytes;    // bytes per mapped chunk as the program walks them
    ULONG HeaderChunkBytes;
    // Copy mode. A caller buffer: system mappings of its locked chunks. A ring entry: the
    // driver's own pages, described by a list of its own.
    PUCHAR* DataViews;
    PUCHAR* HeaderViews;
    BOOLEAN Ring;
    CommonBuffer* RingPages;          // data pages, then header pages (ZORI)
    ULONG RingDataPages;
    ULONG RingHeaderPages;
    PSCATTER_GATHER_LIST RingLists[2];  // data, header (ZORI)
    // A kernel caller's buffer: its MDL is mapped chunk by chunk, never locked or freed here.
    PMDL CallerMdl;
    PVOID KernelBuffer;      // the caller's record of the buffer, handed back to Done
    ULONG CycleMatch;        // cycle to start an idle context at, kNoCycleMatch none
    BOOLEAN TimeStamp;
    ULONG CycleTime;         // the cycle timer when the buffer completed (TimeStamp)
};

// Copy mode: one frame of the queue, copied from a ring entry at dispatch level.
struct CopySlot {
    LIST_ENTRY Link;         // FrameQueue
    ULONG Status;
    PUCHAR Data;             // DataTotal bytes, then HeaderTotal bytes (ZOCP)
};

typedef void (*WakeRoutine)(PVOID context);

struct Stream {
    OhciController* Controller;
    ULONG Context;           // IR context n
    ULONGLONG Key;
    PEPROCESS Owner;
    PVOID OpenedThrough;     // the file object of the handle that opened the stream
    ULONG BooksGeneration;   // the local books its channel and bandwidth were booked in
    PKEVENT Event;           // the caller's event, referenced
    OpenRecord Open;
    StreamShape Shape;
    ULONG NumOfBuf;          // programs on the context at once
    WakeRoutine Wake;        // wakes the worker that runs the finish routine
    PVOID WakeContext;
    PDMA_ADAPTER Adapter;

    DescriptorArea Areas[kMaxAreas];
    ULONG AreaCount;
    ULONG AreaMask;          // bit i: area i lent
    CommonBuffer Scratch;    // one page whose first quadlet takes discarded bytes

    LIST_ENTRY Mappings;     // kept caller buffers (MappedBuffer), under Lock
    KSPIN_LOCK Lock;         // the three lists, the areas, the tail, the flags below
    LIST_ENTRY Attached;
    LIST_ENTRY Queued;
    LIST_ENTRY Completed;
    LONG TailArea;           // area whose program ends the context's chain, -1: context idle
    PULONG TailBranch;       // that program's last branch quadlet
    ULONG QueuedCount;
    ULONG PendingError;      // a dead context's status, taken by the receive call
    volatile LONG Halting;

    KDPC ReceiveDpc;
    KTIMER TimeoutTimer;
    KDPC TimeoutDpc;
    KTIMER RetryTimer;       // delivery deferred while the caller's event is still signalled
    KDPC RetryDpc;
    KEVENT StartEvent;       // set by the finish routine once it has programmed what it could
    volatile ULONG Frames;   // buffers completed with status 0 (statistics)

    // Copy mode: the ring of the driver's buffers that stays on the context, and the frame queue.
    BOOLEAN CopyMode;
    BOOLEAN RingStarted;
    Request* Ring[kMaxAreas];
    CopySlot Slots[kMaxAreas];
    ULONG SlotMask;          // bit i: slot i holds a frame or is being copied out
    LIST_ENTRY FrameQueue;   // filled slots, oldest first
    volatile ULONG FramesLost;   // frames overwritten or dropped (statistics)
    volatile ULONGLONG BytesCopied;  // bytes copied into caller buffers (statistics)

    // Kernel callers (Kernel.Done set). A user stream runs its context as soon as a program is
    // linked; a kernel stream only while Autorun is set (from listen to stop).
    KernelCaller Kernel;
    volatile LONG Autorun;
    ULONG StartCycle;        // cycle match for the next start of the idle context, kNoCycleMatch none
    KEVENT Drained;          // a stop's urgent delivery has ended every finished buffer
    BOOLEAN Delivering;      // a thread hands completed buffers to Done (DeliverKernel)
    BOOLEAN DrainWanted;     // a stop waits for Drained: the delivery under way sets it
};

// Controller-wide state of the engine: created with the controller, freed at teardown.
[[nodiscard]] bool CreateEngine(OhciController* controller);
void DeleteEngine(OhciController* controller);

// What a program's stream records of its opening; filled in before the stream is published (a
// program's other threads may close it the moment it is), and told the context it got.
struct StreamOrigin {
    PVOID OpenedThrough;     // the file object of the handle that opens it
    ULONG BooksGeneration;   // the local books its channel and bandwidth were booked in
    ULONG Context;           // out: its IR context
};

// Open: an IR context, the stream record, its areas and scratch page. The shape is checked.
// STATUS_INSUFFICIENT_RESOURCES (with *noContext) when no context among 0..3 is free. `kernel`
// is null for a user stream, `origin` for a kernel caller's. Once published the stream may be
// closed by another thread at any time: the caller uses `*out` only while nothing can close it.
[[nodiscard]] NTSTATUS OpenStream(OhciController* controller, const OpenRecord& open, const StreamShape& shape,
                                  PKEVENT event, PEPROCESS owner, const KernelCaller* kernel, StreamOrigin* origin,
                                  WakeRoutine wake, PVOID wakeContext, Stream** out, bool* noContext);
// Attach one buffer: locks its status word and maps its data (and header) buffer for DMA in the
// caller's context, then appends it to the attached list. The finish routine programs it.
[[nodiscard]] NTSTATUS AttachBuffer(Stream* stream, const BufferRecord& buffer, ULONGLONG statusAddress);
// Completes every queued and attached buffer with status 12, stops the context (direct mode) and
// gives the kept buffers back. Passive level, context mutex held by the caller.
void FlushStream(Stream* stream);
// Flushes and frees the stream; the context mutex is taken inside.
void CloseStream(Stream* stream);

// Kernel callers. Attach, listen and stop run at passive level with the context mutex held.
// Attach maps the caller's MDL (locked or non-paged, at least one buffer's data bytes) for DMA and
// queues the buffer; it is never kept mapped beyond its completion or detach.
[[nodiscard]] NTSTATUS AttachKernelBuffer(Stream* stream, PMDL mdl, const BufferRecord& buffer, ULONG cycleMatch,
                                          bool timeStamp, PVOID kernelBuffer);
// Programs the attached buffers now (as FinishStream does) without handing any buffer to Done in
// the calling thread: the receive deferred call does that.
void RequestFinish(Stream* stream);
// Runs the context from now on (at `startCycle` when it is not kNoCycleMatch); STATUS_UNSUCCESSFUL
// when a linked program's context does not run.
[[nodiscard]] NTSTATUS ListenStream(Stream* stream, ULONG startCycle);
// Stops the context and ends every buffer with status 12; returns once each has been handed to
// Done (by Ruk_IsochStopUrgentDpc, or by a delivery already under way).
void StopKernelStream(Stream* stream);
// Takes one buffer off the stream (any IRQL up to dispatch level): when it is programmed, the
// context is stopped first and the other programmed buffers wait to be programmed again. True
// when the buffer was found (it is then no DMA target any more and Done is not called for it);
// false when it was not attached or has already ended.
[[nodiscard]] bool DetachKernelBuffer(Stream* stream, PVOID kernelBuffer);

// The stream of IR context n, or null.
[[nodiscard]] Stream* StreamOfContext(OhciController* controller, ULONG n);

// The finish routine: delivers what completed (to a user caller one per signal of its event; to a
// kernel caller's Done, at dispatch level) and programs waiting buffers. Run by the attaching
// thread of a user stream and by the driver client's worker, context mutex held. The receive
// deferred call does the same for the programs that end.
void FinishStream(Stream* stream);

}  // namespace isorx
