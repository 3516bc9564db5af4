// A global with a dynamic initialiser and a destructor: check_objects.py must reject this object
// (the windows.no_global_constructors_detected test). Never linked into the driver.
#include "kxplatform.h"

namespace {

struct Counter {
    Counter() : Value(KeQueryActiveProcessorCount(nullptr)) {}
    ~Counter() { DbgPrint("destroyed\n"); }
    ULONG Value;
};

Counter g_Counter;

}  // namespace

ULONG GlobalConstructorProbe() { return g_Counter.Value; }
