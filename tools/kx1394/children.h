// The child devices the bus driver created for the units on the bus, as the Plug and Play manager
// knows them: device, hardware, compatible and instance identifiers and the device text.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace kx1394 {

struct ChildDevice {
    std::string deviceId;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::string instanceId;
    std::string text;
};

std::vector<ChildDevice> ListChildDevices(Session& session);
// "children": [...] for the bus command's JSON object.
std::string ChildDevicesJson(const std::vector<ChildDevice>& children);
// One line per child for the human report.
void PrintChildDevices(const std::vector<ChildDevice>& children);

}  // namespace kx1394
