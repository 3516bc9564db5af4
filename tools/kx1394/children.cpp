#include "children.h"

#include <cstdio>

#include "hk_io_test.h"
#include "report.h"

namespace kx1394 {

std::vector<ChildDevice> ListChildDevices(Session& session) {
    hk::pnp::Process();  // relations the driver reported since the last Plug and Play operation
    std::vector<ChildDevice> out;
    for (PDEVICE_OBJECT child : hk::pnp::Children(session.pdo())) {
        ChildDevice c;
        c.deviceId = hk::pnp::DeviceId(child);
        c.hardwareIds = hk::pnp::HardwareIds(child);
        c.compatibleIds = hk::pnp::CompatibleIds(child);
        c.instanceId = hk::pnp::InstanceId(child);
        c.text = hk::pnp::DeviceText(child);
        out.push_back(c);
    }
    return out;
}

namespace {
std::string TextArray(const std::vector<std::string>& texts) {
    std::vector<std::string> quoted;
    for (const std::string& t : texts) quoted.push_back(JsonString(t));
    return JsonArray(quoted);
}
}  // namespace

std::string ChildDevicesJson(const std::vector<ChildDevice>& children) {
    std::vector<std::string> list;
    for (const ChildDevice& c : children) {
        JsonObject entry;
        entry.Text("deviceId", c.deviceId)
            .Raw("hardwareIds", TextArray(c.hardwareIds))
            .Raw("compatibleIds", TextArray(c.compatibleIds))
            .Text("instanceId", c.instanceId)
            .Text("text", c.text);
        list.push_back(entry.Str());
    }
    return JsonArray(list);
}

void PrintChildDevices(const std::vector<ChildDevice>& children) {
    for (size_t i = 0; i < children.size(); ++i) {
        const ChildDevice& c = children[i];
        std::string compatible;
        for (const std::string& id : c.compatibleIds) compatible += (compatible.empty() ? "" : ", ") + id;
        std::printf("%-20s %s (instance %s; compatible %s; \"%s\")\n", ("child device " + std::to_string(i)).c_str(),
                    c.deviceId.c_str(), c.instanceId.c_str(), compatible.c_str(), c.text.c_str());
    }
}

}  // namespace kx1394
