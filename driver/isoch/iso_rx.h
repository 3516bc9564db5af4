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
    KEVENT DataMapEvent;
    KEVENT HeaderMapEvent;
    NTSTATUS MapStatus;
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
};

// Controller-wide state of the engine: created with the controller, freed at teardown.
[[nodiscard]] bool CreateEngine(OhciController* controller);
void DeleteEngine(OhciController* controller);

// Open: an IR context, the stream record, its areas and scratch page. The shape is checked.
// STATUS_INSUFFICIENT_RESOURCES (with *noContext) when no context among 0..3 is free.
[[nodiscard]] NTSTATUS OpenStream(OhciController* controller, const OpenRecord& open, const StreamShape& shape,
                                  PKEVENT event, PEPROCESS owner, WakeRoutine wake, PVOID wakeContext,
                                  Stream** out, bool* noContext);
// Attach one buffer: locks its status word and maps its data (and header) buffer for DMA in the
// caller's context, then appends it to the attached list. The finish routine programs it.
[[nodiscard]] NTSTATUS AttachBuffer(Stream* stream, const BufferRecord& buffer, ULONGLONG statusAddress);
// Completes every queued and attached buffer with status 12, stops the context (direct mode) and
// gives the kept buffers back. Passive level, context mutex held by the caller.
void FlushStream(Stream* stream);
// Flushes and frees the stream; the context mutex is taken inside.
void CloseStream(Stream* stream);

// The stream of IR context n, or null.
[[nodiscard]] Stream* StreamOfContext(OhciController* controller, ULONG n);

// The finish routine: delivers what completed, one per signal of the caller's event, and programs
// waiting buffers. Run by the attaching thread and by the driver client's worker, context mutex held.
void FinishStream(Stream* stream);

}  // namespace isorx
