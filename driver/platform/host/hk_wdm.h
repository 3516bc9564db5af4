// Host kernel: the WDM subset the driver uses, declared with Windows widths. Included only through
// driver/platform/kxplatform.h.
#pragma once

#include "wdm_base.h"
#include "wdm_ke.h"
#include "wdm_mm.h"
#include "wdm_io.h"
