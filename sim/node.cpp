#include "node.h"

#include <utility>

#include "bus.h"
#include "cycle_time.h"

namespace sim {

Node::Node(std::string name, int ports, Speed speed) : name_(std::move(name)), phy_(ports, speed) {}

Node::~Node() = default;

uint32_t Node::CycleTime() const {
    return bus_ ? cycle_time::FromLinear(cycle_time::OffsetsForTicks(bus_->clock().Now())) : 0;
}

}  // namespace sim
