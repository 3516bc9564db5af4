// Host kernel: WDM declarations of the ke domain (see hk_core.h for the split).
#pragma once

#include "wdm_base.h"
