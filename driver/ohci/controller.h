// The OhciController: the per-controller object that nearly every routine of the OHCI core,
// asynchronous, isochronous and bus subsystems receives. Each subsystem adds the fields it owns.
#pragma once

#include "kxplatform.h"

struct OhciController;

// Register access routines, chosen when the controller object is initialised. Registers are always
// accessed one 32-bit word at a time.
typedef void (*ReadRegistersRoutine)(volatile ULONG* source, PULONG destination, ULONG count);
typedef void (*WriteRegistersRoutine)(volatile ULONG* destination, const ULONG* source, ULONG count);

struct OhciController {
    // Register layer.
    volatile ULONG* RegisterBase;  // first memory window; null while absent or shut down
    ReadRegistersRoutine ReadRegisters;
    WriteRegistersRoutine WriteRegisters;
};
