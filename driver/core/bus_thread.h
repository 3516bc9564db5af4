// The bus management thread: one per controller, the driver's main loop after bus resets.
#pragma once

#include "kxplatform.h"

struct OhciController;

// Starts the thread; false when it could not be created.
[[nodiscard]] bool LaunchBusThread(OhciController* controller);
// Ends the thread and waits for it (teardown).
void MSM_TerminateThread(OhciController* controller);
