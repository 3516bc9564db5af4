// Controller bring-up and teardown: the controller object with everything it needs for its started
// life, the programming of the OHCI controller and its PHY, and the way back.
#pragma once

#include "kxplatform.h"

struct ControllerDeviceExtension;

// Builds the controller object (after the resources are mapped). On false it has already torn
// down whatever it built.
[[nodiscard]] bool InitializeController(ControllerDeviceExtension* extension);
// Soft-resets and programs the controller, its PHY and its asynchronous contexts.
void ProgramController(ControllerDeviceExtension* extension);
// Quiesces the controller, stops the asynchronous contexts and tears the object down.
void ShutdownController(ControllerDeviceExtension* extension);
// Frees everything InitializeController built; safe on a partly built object.
void TeardownController(ControllerDeviceExtension* extension);

// Masks the controller's interrupt line (masterIntEnable) and acknowledges what is pending.
void MaskControllerInterrupt(ControllerDeviceExtension* extension);
