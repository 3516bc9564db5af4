// Host kernel: boot and shutdown of the modules in their order.
#include "hk_core.h"

namespace hk {
namespace {
const Options* g_options = nullptr;
}

const Options& CurrentOptions() { return *g_options; }

Kernel::Kernel(const Options& options) : options_(options) {
    g_options = &options_;
    mm::Boot(options_);
    ke::Boot(options_);
    io::Boot(options_);
}

Kernel::~Kernel() {
    io::Shutdown();
    ke::Shutdown();
    mm::Shutdown();
    g_options = nullptr;
}

}  // namespace hk
