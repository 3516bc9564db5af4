// Host kernel: WDM declarations of the io domain (see hk_core.h for the split).
#pragma once

#include "wdm_base.h"
