#include "node.h"

#include <utility>

namespace sim {

Node::Node(std::string name, int ports, Speed speed) : name_(std::move(name)), phy_(ports, speed) {}

Node::~Node() = default;

}  // namespace sim
