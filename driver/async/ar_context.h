// The two asynchronous receive (AR) contexts in OHCI buffer-fill mode: sixteen INPUT_MORE
// descriptors, each filling one 8192-byte receive buffer, in a ring whose end follows the reader.
#pragma once

#include "kxplatform.h"
#include "ohci/dma_memory.h"

struct OhciController;

constexpr ULONG kArBufferCount = 16;
constexpr ULONG kArBufferSize = 8192;

enum ArContextKind : ULONG { kArRequest = 0, kArResponse = 1 };

struct ArContext {
    OhciController* Controller;
    ArContextKind Kind;
    ULONG RegisterBase;              // ContextControlSet; Clear at +4, CommandPtr at +0x0C
    PVOID* DescriptorVirtual;        // kArBufferCount entries (ZOAR)
    PULONG DescriptorLogical;
    PVOID* BufferVirtual;
    PULONG BufferLogical;
    PUCHAR ReassemblyBuffer;         // kArBufferSize bytes (ZOAR)
    PDMA_ADAPTER Adapter;
    CommonBuffer Descriptors;        // 4096 bytes, 16-byte descriptors
    CommonBuffer Buffers[kArBufferCount];
    ULONG CurrentBuffer;
    ULONG CurrentOffset;
    KSPIN_LOCK Lock;                 // the ring position
    KSPIN_LOCK DpcLock;              // held by the bus-reset sequence against the receive walk
    KDPC Dpc;                        // the receive walk
    ULONG PacketsReceived;           // diagnostics
    BOOLEAN Ready;
};

// Builds the context's tables and DMA memory; false (everything obtained freed) on failure.
[[nodiscard]] bool InitArContext(OhciController* controller, ArContext* context, ArContextKind kind, ULONG base);
// Stops the context, rebuilds the descriptor ring over empty buffers and runs it.
void RearmArContext(ArContext* context);
// Frees what InitArContext obtained (the context must be stopped).
void FreeArContext(ArContext* context);

// One received packet by tcode (`length` without the trailer): responses are matched to pending
// requests, requests go to the incoming-request handler (its result is returned), the rest is
// ignored. `local`: a loopback packet that never was on the bus.
LONG ReceiveDispatch(OhciController* controller, const UCHAR* packet, ULONG length, bool ackedComplete, bool local);
