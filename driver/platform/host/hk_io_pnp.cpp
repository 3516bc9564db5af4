// Host kernel io: the fake PCI bus driver (bottom of every plugged stack) and the Plug and Play
// manager (AddDevice, start, stop, remove, surprise removal, bus relations, device properties).
//
// Requests run on the calling thread, attached to the system process, at PASSIVE_LEVEL.
// IoInvalidateDeviceRelations only queues the device; the relations are queried by
// hk::pnp::Process() and at the end of every Plug and Play operation.
#include <stdio.h>
#include <string.h>

#include "hk_io_internal.h"

struct hk_io_DeviceNode {
    PDEVICE_OBJECT pdo = nullptr;
    hk_io_DeviceNode* parent = nullptr;
    std::vector<hk_io_DeviceNode*> children;
    hk::pnp::State state = hk::pnp::State::Added;
    bool pci = false;
    hk::pci::DeviceConfig config;
    PDRIVER_OBJECT functionDriver = nullptr;
    std::string deviceId, instanceId, text;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    DEVICE_CAPABILITIES caps{};
    bool pdoDeleted = false;
    std::vector<ULONGLONG> raw, translated;  // CM_RESOURCE_LIST storage (8-byte aligned)
};

namespace hk {
namespace io {
namespace {

using Node = hk_io_DeviceNode;

struct PnpState {
    PDRIVER_OBJECT pci = nullptr;
    std::vector<Node*> roots;
    // Function drivers of bus-enumerated children, by hardware or compatible identifier (the
    // INF matching of Windows: hardware identifiers first, then compatible ones, in order).
    std::vector<std::pair<std::string, PDRIVER_OBJECT>> functionDrivers;
    std::deque<PDEVICE_OBJECT> pending;
    bool processing = false;
};
PnpState* g_pnp = nullptr;

Node* NodeOf(PDEVICE_OBJECT device) {
    if (device == nullptr || !IsObject(device) || TypeOfObject(device) != DeviceType()) return nullptr;
    _DEVOBJ_EXTENSION* ext = Ext(device);
    return ext == nullptr ? nullptr : ext->Node;
}

Node* RequireNode(PDEVICE_OBJECT pdo, const char* routine) {
    Node* node = NodeOf(pdo);
    if (node == nullptr) Violation(rule::kObject, "%s(%p): not a physical device object the PnP manager knows", routine,
                                   static_cast<void*>(pdo));
    return node;
}

std::string Hex(ULONG value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// ---- The fake PCI bus driver

std::vector<std::string> PciHardwareIds(const pci::DeviceConfig& c) {
    std::string venDev = "PCI\\VEN_" + Hex(c.vendorId, 4) + "&DEV_" + Hex(c.deviceId, 4);
    std::string subsys = "&SUBSYS_" + Hex(c.subsystemId, 4) + Hex(c.subsystemVendorId, 4);
    std::string rev = "&REV_" + Hex(c.revision, 2);
    return {venDev + subsys + rev, venDev + subsys, venDev + "&CC_" + Hex(c.classCode, 6),
            venDev + "&CC_" + Hex(c.classCode >> 8, 4)};
}

std::vector<std::string> PciCompatibleIds(const pci::DeviceConfig& c) {
    std::string venDev = "PCI\\VEN_" + Hex(c.vendorId, 4) + "&DEV_" + Hex(c.deviceId, 4);
    return {venDev + "&REV_" + Hex(c.revision, 2), venDev,
            "PCI\\VEN_" + Hex(c.vendorId, 4) + "&CC_" + Hex(c.classCode, 6),
            "PCI\\VEN_" + Hex(c.vendorId, 4) + "&CC_" + Hex(c.classCode >> 8, 4), "PCI\\VEN_" + Hex(c.vendorId, 4),
            "PCI\\CC_" + Hex(c.classCode, 6), "PCI\\CC_" + Hex(c.classCode >> 8, 4)};
}

std::u16string MultiSz(const std::vector<std::string>& strings) {
    std::u16string all;
    for (const std::string& s : strings) {
        all += Widen(s);
        all.push_back(0);
    }
    all.push_back(0);
    return all;
}

std::string PciText(const pci::DeviceConfig& c) {
    return c.classCode == 0x0C0010 ? "OHCI Compliant IEEE 1394 Host Controller" : "PCI Device";
}

constexpr ULONG kPnpTag = 0x20706e50;  // "Pnp "

PWCHAR PoolMultiSz(const std::vector<std::string>& strings) {
    std::u16string all = MultiSz(strings);
    PWCHAR buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, all.size() * sizeof(WCHAR), kPnpTag));
    if (buffer != nullptr) memcpy(buffer, all.data(), all.size() * sizeof(WCHAR));
    return buffer;
}

void FillPciCapabilities(const pci::DeviceConfig& c, PDEVICE_CAPABILITIES caps) {
    caps->DeviceD1 = c.deviceD1 ? 1 : 0;
    caps->DeviceD2 = c.deviceD2 ? 1 : 0;
    caps->WakeFromD3 = c.wakeFromD3 ? 1 : 0;
    caps->SurpriseRemovalOK = c.surpriseRemovalOK ? 1 : 0;
    caps->Removable = 0;
    caps->UniqueID = 0;
    caps->Address = (c.deviceNumber << 16) | c.functionNumber;
    caps->UINumber = c.deviceNumber;
    caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps->DeviceState[PowerSystemSleeping1] = c.deviceD1 ? PowerDeviceD1 : PowerDeviceD3;
    caps->DeviceState[PowerSystemSleeping2] = c.deviceD2 ? PowerDeviceD2 : PowerDeviceD3;
    caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps->SystemWake = c.wakeFromD3 ? PowerSystemSleeping3 : PowerSystemUnspecified;
    caps->DeviceWake = c.wakeFromD3 ? PowerDeviceD3 : PowerDeviceUnspecified;
    caps->D1Latency = c.deviceD1 ? 1 : 0;
    caps->D2Latency = c.deviceD2 ? 1 : 0;
    caps->D3Latency = 10;
}

NTSTATUS PciDispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Node* node = NodeOf(device);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            status = node != nullptr ? node->config.startStatus : STATUS_NO_SUCH_DEVICE;
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            if (caps == nullptr || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
                status = STATUS_UNSUCCESSFUL;
            } else {
                if (node != nullptr) FillPciCapabilities(node->config, caps);
                status = STATUS_SUCCESS;
            }
            break;
        }
        case IRP_MN_QUERY_ID: {
            if (node == nullptr) break;
            PWCHAR result = nullptr;
            switch (stack->Parameters.QueryId.IdType) {
                case BusQueryDeviceID:
                    result = PoolString(Widen(PciHardwareIds(node->config)[0]), kPnpTag);
                    break;
                case BusQueryHardwareIDs:
                    result = PoolMultiSz(PciHardwareIds(node->config));
                    break;
                case BusQueryCompatibleIDs:
                    result = PoolMultiSz(PciCompatibleIds(node->config));
                    break;
                case BusQueryInstanceID:
                    result = PoolString(Widen(node->instanceId), kPnpTag);
                    break;
                default:
                    break;
            }
            if (result != nullptr) {
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(result);
                status = STATUS_SUCCESS;
            }
            break;
        }
        case IRP_MN_QUERY_DEVICE_TEXT: {
            if (node == nullptr) break;
            std::string text;
            if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription)
                text = PciText(node->config);
            else
                text = "PCI bus " + std::to_string(node->config.busNumber) + ", device " +
                       std::to_string(node->config.deviceNumber) + ", function " +
                       std::to_string(node->config.functionNumber);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(PoolString(Widen(text), kPnpTag));
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
                PDEVICE_RELATIONS relations =
                    static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPnpTag));
                if (relations == nullptr) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
                relations->Count = 1;
                relations->Objects[0] = device;
                ObfReferenceObject(device);
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
                status = STATUS_SUCCESS;
            }
            break;
        default:
            break;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PciDispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
        case IRP_MN_SET_POWER:
            if (stack->Parameters.Power.Type == DevicePowerState)
                PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_POWER:
            status = STATUS_SUCCESS;
            break;
        default:
            break;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PciDispatchOther(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PciDispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// ---- Requests of the manager

NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, const IO_STACK_LOCATION* parameters,
              ULONG_PTR* information) {
    AttachProcess attach(SystemProcess());
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        Violation(rule::kIrql, "a Plug and Play or power request was sent at IRQL %u", KeGetCurrentIrql());
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = AllocateIrp(top->StackSize, IrpKind::Manager);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = CurrentThread();
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    if (parameters != nullptr) stack->Parameters = parameters->Parameters;
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    NTSTATUS status = CallAndWait(top, irp, information);
    ObfDereferenceObject(top);
    return status;
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const IO_STACK_LOCATION* parameters = nullptr,
                 ULONG_PTR* information = nullptr) {
    return Send(pdo, IRP_MJ_PNP, minor, parameters, information);
}

void BuildResources(Node* node) {
    const pci::DeviceConfig& c = node->config;
    size_t size = sizeof(CM_RESOURCE_LIST) + sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    node->raw.assign((size + 7) / 8, 0);
    node->translated.assign((size + 7) / 8, 0);
    for (int pass = 0; pass < 2; ++pass) {
        PCM_RESOURCE_LIST list =
            reinterpret_cast<PCM_RESOURCE_LIST>(pass == 0 ? node->raw.data() : node->translated.data());
        list->Count = 1;
        list->List[0].InterfaceType = PCIBus;
        list->List[0].BusNumber = c.busNumber;
        list->List[0].PartialResourceList.Version = 1;
        list->List[0].PartialResourceList.Revision = 1;
        list->List[0].PartialResourceList.Count = 2;
        PCM_PARTIAL_RESOURCE_DESCRIPTOR memory = &list->List[0].PartialResourceList.PartialDescriptors[0];
        memory->Type = CmResourceTypeMemory;
        memory->ShareDisposition = CmResourceShareDeviceExclusive;
        memory->Flags = CM_RESOURCE_MEMORY_READ_WRITE;
        memory->u.Memory.Start.QuadPart = static_cast<LONGLONG>(c.bar0);
        memory->u.Memory.Length = c.bar0Length;
        PCM_PARTIAL_RESOURCE_DESCRIPTOR interrupt = memory + 1;
        interrupt->Type = CmResourceTypeInterrupt;
        interrupt->ShareDisposition = CmResourceShareShared;
        interrupt->Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
        interrupt->u.Interrupt.Level = pass == 0 ? c.irq : c.level;
        interrupt->u.Interrupt.Vector = pass == 0 ? c.irq : c.vector;
        interrupt->u.Interrupt.Affinity = c.affinity;
    }
}

void FreePoolString(ULONG_PTR information) {
    if (information != 0) ExFreePool(reinterpret_cast<PVOID>(information));
}

std::vector<std::string> SplitMultiSz(const WCHAR* text) {
    std::vector<std::string> out;
    while (text != nullptr && *text != 0) {
        size_t n = 0;
        while (text[n] != 0) ++n;
        out.push_back(Narrow(text, n));
        text += n + 1;
    }
    return out;
}

std::string QueryString(PDEVICE_OBJECT pdo, UCHAR minor, ULONG type) {
    IO_STACK_LOCATION parameters{};
    if (minor == IRP_MN_QUERY_ID)
        parameters.Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(type);
    else
        parameters.Parameters.QueryDeviceText.DeviceTextType = static_cast<DEVICE_TEXT_TYPE>(type);
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnp(pdo, minor, &parameters, &information);
    std::string result;
    if (NT_SUCCESS(status) && information != 0) {
        const WCHAR* text = reinterpret_cast<const WCHAR*>(information);
        if ((type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs) && minor == IRP_MN_QUERY_ID) {
            std::vector<std::string> ids = SplitMultiSz(text);
            for (size_t i = 0; i < ids.size(); ++i) result += (i ? "\n" : "") + ids[i];
        } else {
            size_t n = 0;
            while (text[n] != 0) ++n;
            result = Narrow(text, n);
        }
    }
    if (NT_SUCCESS(status)) FreePoolString(information);
    return result;
}

void QueryCapabilities(Node* node) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFFu;
    caps.UINumber = 0xFFFFFFFFu;
    IO_STACK_LOCATION parameters{};
    parameters.Parameters.DeviceCapabilities.Capabilities = &caps;
    if (NT_SUCCESS(SendPnp(node->pdo, IRP_MN_QUERY_CAPABILITIES, &parameters))) node->caps = caps;
}

void QueryIdentity(Node* node) {
    node->deviceId = QueryString(node->pdo, IRP_MN_QUERY_ID, BusQueryDeviceID);
    std::string instance = QueryString(node->pdo, IRP_MN_QUERY_ID, BusQueryInstanceID);
    if (!instance.empty()) node->instanceId = instance;
    std::string ids = QueryString(node->pdo, IRP_MN_QUERY_ID, BusQueryHardwareIDs);
    node->hardwareIds.clear();
    size_t start = 0;
    while (!ids.empty() && start <= ids.size()) {
        size_t end = ids.find('\n', start);
        if (end == std::string::npos) end = ids.size();
        node->hardwareIds.push_back(ids.substr(start, end - start));
        start = end + 1;
    }
    node->text = QueryString(node->pdo, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription);
    std::string compatible = QueryString(node->pdo, IRP_MN_QUERY_ID, BusQueryCompatibleIDs);
    node->compatibleIds.clear();
    for (size_t start = 0; !compatible.empty() && start <= compatible.size();) {
        size_t end = compatible.find('\n', start);
        if (end == std::string::npos) end = compatible.size();
        node->compatibleIds.push_back(compatible.substr(start, end - start));
        start = end + 1;
    }
}

// The driver registered for the best-matching identifier of a child, or none.
PDRIVER_OBJECT MatchFunctionDriver(const Node* node) {
    for (const auto* ids : {&node->hardwareIds, &node->compatibleIds})
        for (const std::string& id : *ids)
            for (const auto& entry : g_pnp->functionDrivers)
                if (entry.first == id) return entry.second;
    return nullptr;
}

void CheckDetached(Node* node) {
    if (!node->pdoDeleted && node->pdo->AttachedDevice != nullptr)
        Violation(rule::kObject,
                  "after IRP_MN_REMOVE_DEVICE device %p is still attached above PDO %p (the function driver must "
                  "detach and delete its device object)",
                  static_cast<void*>(node->pdo->AttachedDevice), static_cast<void*>(node->pdo));
}

void DropNode(Node* node);

// Surprise removal: children first.
void SurpriseTree(Node* node) {
    for (Node* child : node->children) SurpriseTree(child);
    if (node->state == pnp::State::SurpriseRemoved || node->state == pnp::State::Removed ||
        node->state == pnp::State::StartFailed || node->pdoDeleted)
        return;
    SendPnp(node->pdo, IRP_MN_SURPRISE_REMOVAL);
    node->state = pnp::State::SurpriseRemoved;
    DisableInterfacesOf(node->pdo);
}

void RemoveTree(Node* node, bool surprise) {
    std::vector<Node*> children = node->children;
    for (Node* child : children) {
        if (surprise) SurpriseTree(child);
        RemoveTree(child, surprise);
        DropNode(child);
    }
    node->children.clear();
    if (node->state == pnp::State::Removed || node->state == pnp::State::StartFailed) return;
    if (!node->pdoDeleted) {
        SendPnp(node->pdo, IRP_MN_REMOVE_DEVICE);
        DisableInterfacesOf(node->pdo);
        CheckDetached(node);
    }
    node->state = pnp::State::Removed;
}

void DropNode(Node* node) {
    if (node->parent != nullptr) {
        auto& siblings = node->parent->children;
        for (size_t i = 0; i < siblings.size(); ++i)
            if (siblings[i] == node) {
                siblings.erase(siblings.begin() + static_cast<long>(i));
                break;
            }
    } else {
        auto& roots = g_pnp->roots;
        for (size_t i = 0; i < roots.size(); ++i)
            if (roots[i] == node) {
                roots.erase(roots.begin() + static_cast<long>(i));
                break;
            }
    }
    if (!node->pdoDeleted) Ext(node->pdo)->Node = nullptr;
    PDEVICE_OBJECT pdo = node->pdo;
    delete node;
    ObfDereferenceObject(pdo);
}

NTSTATUS StartNode(Node* node);

void EnumerateBus(Node* node) {
    IO_STACK_LOCATION parameters{};
    parameters.Parameters.QueryDeviceRelations.Type = BusRelations;
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnp(node->pdo, IRP_MN_QUERY_DEVICE_RELATIONS, &parameters, &information);
    if (!NT_SUCCESS(status)) return;
    PDEVICE_RELATIONS relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    std::vector<PDEVICE_OBJECT> reported;
    if (relations != nullptr) {
        for (ULONG i = 0; i < relations->Count; ++i) {
            PDEVICE_OBJECT child = relations->Objects[i];
            if (!IsObject(child) || TypeOfObject(child) != DeviceType()) {
                Violation(rule::kObject, "bus relations of PDO %p list %p, which is not a device object",
                          static_cast<void*>(node->pdo), static_cast<void*>(child));
                continue;
            }
            reported.push_back(child);
        }
    }
    // Children no longer reported are gone: surprise removal, then removal.
    std::vector<Node*> known = node->children;
    for (Node* child : known) {
        bool present = false;
        for (PDEVICE_OBJECT d : reported) present = present || d == child->pdo;
        if (present) continue;
        SurpriseTree(child);
        RemoveTree(child, true);
        DropNode(child);
    }
    // New children become device nodes and are started.
    std::vector<Node*> added;
    for (PDEVICE_OBJECT d : reported) {
        if (NodeOf(d) != nullptr) continue;
        Node* child = new Node;
        child->pdo = d;
        child->parent = node;
        child->instanceId = std::to_string(node->children.size());
        ObfReferenceObject(d);  // the manager's own reference while the node exists
        d->Flags |= DO_BUS_ENUMERATED_DEVICE;
        Ext(d)->Node = child;
        node->children.push_back(child);
        added.push_back(child);
    }
    for (ULONG i = 0; relations != nullptr && i < relations->Count; ++i)
        if (IsObject(relations->Objects[i])) ObfDereferenceObject(relations->Objects[i]);
    if (relations != nullptr) ExFreePool(relations);
    for (Node* child : added) {
        QueryIdentity(child);
        QueryCapabilities(child);
        child->functionDriver = MatchFunctionDriver(child);
        StartNode(child);
    }
}

NTSTATUS StartNode(Node* node) {
    if (node->functionDriver != nullptr && node->pdo->AttachedDevice == nullptr) {
        AttachProcess attach(SystemProcess());
        PDRIVER_ADD_DEVICE addDevice = node->functionDriver->DriverExtension->AddDevice;
        NTSTATUS status = addDevice != nullptr ? addDevice(node->functionDriver, node->pdo) : STATUS_SUCCESS;
        if (!NT_SUCCESS(status)) {
            node->state = pnp::State::StartFailed;
            return status;
        }
        for (PDEVICE_OBJECT d = node->pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice)
            if (d->Flags & DO_DEVICE_INITIALIZING)
                Violation(rule::kObject, "AddDevice of %s left DO_DEVICE_INITIALIZING set on device %p",
                          Narrow(&node->functionDriver->DriverName).c_str(), static_cast<void*>(d));
    }
    if (node->pci) QueryCapabilities(node);
    IO_STACK_LOCATION parameters{};
    if (node->pci) {
        BuildResources(node);
        parameters.Parameters.StartDevice.AllocatedResources = reinterpret_cast<PCM_RESOURCE_LIST>(node->raw.data());
        parameters.Parameters.StartDevice.AllocatedResourcesTranslated =
            reinterpret_cast<PCM_RESOURCE_LIST>(node->translated.data());
    }
    NTSTATUS status = SendPnp(node->pdo, IRP_MN_START_DEVICE, &parameters);
    if (!NT_SUCCESS(status)) {
        // A failed start is followed by the removal of the stack.
        node->state = pnp::State::StartFailed;
        SendPnp(node->pdo, IRP_MN_REMOVE_DEVICE);
        DisableInterfacesOf(node->pdo);
        CheckDetached(node);
        return status;
    }
    node->state = pnp::State::Started;
    QueryCapabilities(node);
    EnumerateBus(node);
    return status;
}

void ProcessPending() {
    if (g_pnp == nullptr || g_pnp->processing) return;
    g_pnp->processing = true;
    while (!g_pnp->pending.empty()) {
        PDEVICE_OBJECT pdo = g_pnp->pending.front();
        g_pnp->pending.pop_front();
        Node* node = NodeOf(pdo);
        if (node != nullptr && node->state == pnp::State::Started) EnumerateBus(node);
    }
    g_pnp->processing = false;
}

NTSTATUS QueryWithCancel(Node* node, UCHAR query, UCHAR cancel, pnp::State pendingState) {
    NTSTATUS status = SendPnp(node->pdo, query);
    if (!NT_SUCCESS(status)) {
        SendPnp(node->pdo, cancel);
        return status;
    }
    node->state = pendingState;
    return status;
}

NTSTATUS QueryRemoveTree(Node* node, std::vector<Node*>* queried) {
    for (Node* child : node->children) {
        if (child->state != pnp::State::Started) continue;
        NTSTATUS status = QueryRemoveTree(child, queried);
        if (!NT_SUCCESS(status)) return status;
    }
    NTSTATUS status = SendPnp(node->pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) return status;
    node->state = pnp::State::RemovePending;
    queried->push_back(node);
    return status;
}

}  // namespace

PDRIVER_OBJECT PciDriver() { return g_pnp->pci; }

std::string NodeDeviceId(PDEVICE_OBJECT pdo) {
    Node* node = NodeOf(pdo);
    return node == nullptr ? std::string() : node->deviceId;
}
std::string NodeInstanceId(PDEVICE_OBJECT pdo) {
    Node* node = NodeOf(pdo);
    return node == nullptr ? std::string() : node->instanceId;
}

void OnDeviceDeleted(PDEVICE_OBJECT device) {
    RemoveInterfacesOf(device);
    Node* node = Ext(device)->Node;
    if (node != nullptr) {
        node->pdoDeleted = true;
        Ext(device)->Node = nullptr;
    }
    if (g_pnp != nullptr)
        for (auto it = g_pnp->pending.begin(); it != g_pnp->pending.end();)
            it = *it == device ? g_pnp->pending.erase(it) : it + 1;
}

void PnpBoot() {
    g_pnp = new PnpState;
    g_pnp->pci = CreateDriverObject("\\Driver\\pci", "pci");
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) g_pnp->pci->MajorFunction[i] = PciDispatchOther;
    g_pnp->pci->MajorFunction[IRP_MJ_PNP] = PciDispatchPnp;
    g_pnp->pci->MajorFunction[IRP_MJ_POWER] = PciDispatchPower;
    g_pnp->pci->MajorFunction[IRP_MJ_CREATE] = PciDispatchCreateClose;
    g_pnp->pci->MajorFunction[IRP_MJ_CLOSE] = PciDispatchCreateClose;
}

void PnpShutdown() {
    // Stacks still plugged at shutdown are left to the process (their drivers may be gone); only
    // the manager's records and the register windows go.
    std::vector<Node*> roots = g_pnp->roots;
    for (Node* root : roots) {
        if (root->pci && root->config.window != nullptr) DetachRegisterWindow(root->config.bar0);
        std::vector<Node*> stack{root};
        while (!stack.empty()) {
            Node* n = stack.back();
            stack.pop_back();
            for (Node* c : n->children) stack.push_back(c);
            if (!n->pdoDeleted) Ext(n->pdo)->Node = nullptr;
            delete n;
        }
    }
    delete g_pnp;
    g_pnp = nullptr;
}

}  // namespace io

// ---------------------------------------------------------------------------------------------
// Fake PCI bus (test API)

namespace pci {

PDEVICE_OBJECT PlugDevice(PDRIVER_OBJECT driver, const DeviceConfig& config, NTSTATUS* startStatus) {
    io::AttachProcess attach(SystemProcess());
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(io::PciDriver(), 0, nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        if (startStatus != nullptr) *startStatus = status;
        return nullptr;
    }
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    if (config.powerPagable) pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    io::Node* node = new io::Node;
    node->pdo = pdo;
    node->pci = true;
    node->config = config;
    node->functionDriver = driver;
    char instance[32];
    snprintf(instance, sizeof instance, "3&11583659&0&%02X", (config.deviceNumber << 3) | config.functionNumber);
    node->instanceId = instance;
    node->deviceId = io::PciHardwareIds(config)[0];
    node->hardwareIds = io::PciHardwareIds(config);
    node->text = io::PciText(config);
    ObfReferenceObject(pdo);
    io::Ext(pdo)->Node = node;
    io::g_pnp->roots.push_back(node);
    if (config.window != nullptr) AttachRegisterWindow(config.bar0, config.bar0Length, config.window);
    status = io::StartNode(node);
    if (startStatus != nullptr) *startStatus = status;
    io::ProcessPending();
    return pdo;
}

}  // namespace pci

// ---------------------------------------------------------------------------------------------
// Plug and Play manager (test API)

namespace pnp {

NTSTATUS QueryStop(PDEVICE_OBJECT pdo) {
    io::Node* node = io::RequireNode(pdo, "pnp::QueryStop");
    if (node == nullptr) return STATUS_INVALID_PARAMETER;
    return io::QueryWithCancel(node, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, State::StopPending);
}

NTSTATUS CancelStop(PDEVICE_OBJECT pdo) {
    io::Node* node = io::RequireNode(pdo, "pnp::CancelStop");
    if (node == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = io::SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
    node->state = State::Started;
    io::ProcessPending();
    return status;
}

NTSTATUS Stop(PDEVICE_OBJECT pdo) {
    io::Node* node = io::RequireNode(pdo, "pnp::Stop");
    if (node == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = QueryStop(pdo);
    if (!NT_SUCCESS(status)) return status;
    status = io::SendPnp(pdo, IRP_MN_STOP_DEVICE);
    node->state = State::Stopped;
    return status;
}

NTSTATUS Start(PDEVICE_OBJECT pdo) {
    io::Node* node = io::RequireNode(pdo, "pnp::Start");
    if (node == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = io::StartNode(node);
    io::ProcessPending();
    return status;
}

NTSTATUS QueryRemove(PDEVICE_OBJECT pdo) {
    io::Node* node = io::RequireNode(pdo, "pnp::QueryRemove");
    if (node == nullptr) return STATUS_INVALID_PARAMETER;
    std::vector<io::Node*> queried;
    NTSTATUS status = io::QueryRemoveTree(node, &queried);
    if (!NT_SUCCESS(status)) {
        // The one that failed gets the cancel too, then every one that agreed.
        io::Node* failed = nullptr;
        std::vector<io::Node*> all{node};
        while (!all.empty()) {
            io::Node* n = all.back();
            all.pop_back();
            bool agreed = false;
            for (io::Node* q : queried) agreed = agreed || q == n;
            if (!agreed && n->state == State::Started && failed == nullptr) failed = n;
            for (io::Node* c : n->children) all.push_back(c);
        }
        if (failed != nullptr) io::SendPnp(failed->pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
            io::SendPnp((*it)->pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
            (*it)->state = State::Started;
        }
    }
    return status;
}

NTSTATUS CancelRemove(PDEVICE_OBJECT pdo) {
    io::Node* node = io::RequireNode(pdo, "pnp::CancelRemove");
    if (node == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = io::SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    node->state = State::Started;
    for (io::Node* child : node->children)
        if (child->state == State::RemovePending) CancelRemove(child->pdo);
    io::ProcessPending();
    return status;
}

NTSTATUS Remove(PDEVICE_OBJECT pdo) {
    io::Node* node = io::RequireNode(pdo, "pnp::Remove");
    if (node == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = QueryRemove(pdo);
    if (!NT_SUCCESS(status)) return status;
    io::RemoveTree(node, false);
    return STATUS_SUCCESS;
}

NTSTATUS SurpriseRemoval(PDEVICE_OBJECT pdo) {
    io::Node* node = io::RequireNode(pdo, "pnp::SurpriseRemoval");
    if (node == nullptr) return STATUS_INVALID_PARAMETER;
    io::SurpriseTree(node);
    return STATUS_SUCCESS;
}

void Unplug(PDEVICE_OBJECT pdo) {
    io::Node* node = io::RequireNode(pdo, "pnp::Unplug");
    if (node == nullptr) return;
    io::SurpriseTree(node);
    io::RemoveTree(node, true);
    if (node->pci) {
        io::AttachProcess attach(SystemProcess());
        if (node->config.window != nullptr) DetachRegisterWindow(node->config.bar0);
        io::DropNode(node);
        IoDeleteDevice(pdo);
    } else {
        io::DropNode(node);
    }
}

void Process() { io::ProcessPending(); }

bool HasPendingRelations() { return io::g_pnp != nullptr && !io::g_pnp->pending.empty(); }

std::vector<PDEVICE_OBJECT> Children(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> out;
    io::Node* node = io::NodeOf(pdo);
    if (node != nullptr)
        for (io::Node* child : node->children) out.push_back(child->pdo);
    return out;
}

State GetState(PDEVICE_OBJECT pdo) {
    io::Node* node = io::NodeOf(pdo);
    return node == nullptr ? State::Removed : node->state;
}

void RegisterFunctionDriver(const std::string& id, PDRIVER_OBJECT driver) {
    io::g_pnp->functionDrivers.emplace_back(id, driver);
}

void UnregisterFunctionDriver(PDRIVER_OBJECT driver) {
    auto& drivers = io::g_pnp->functionDrivers;
    for (size_t i = drivers.size(); i-- > 0;)
        if (drivers[i].second == driver) drivers.erase(drivers.begin() + static_cast<long>(i));
}

std::vector<std::string> HardwareIds(PDEVICE_OBJECT pdo) {
    io::Node* node = io::NodeOf(pdo);
    return node == nullptr ? std::vector<std::string>() : node->hardwareIds;
}

std::vector<std::string> CompatibleIds(PDEVICE_OBJECT pdo) {
    io::Node* node = io::NodeOf(pdo);
    return node == nullptr ? std::vector<std::string>() : node->compatibleIds;
}

std::string DeviceId(PDEVICE_OBJECT pdo) { return io::NodeDeviceId(pdo); }
std::string InstanceId(PDEVICE_OBJECT pdo) { return io::NodeInstanceId(pdo); }
std::string DeviceText(PDEVICE_OBJECT pdo) {
    io::Node* node = io::NodeOf(pdo);
    return node == nullptr ? std::string() : node->text;
}

DEVICE_CAPABILITIES Capabilities(PDEVICE_OBJECT pdo) {
    io::Node* node = io::NodeOf(pdo);
    return node == nullptr ? DEVICE_CAPABILITIES{} : node->caps;
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const IO_STACK_LOCATION* parameters, ULONG_PTR* information) {
    return io::SendPnp(pdo, minor, parameters, information);
}

}  // namespace pnp

// ---------------------------------------------------------------------------------------------
// Power manager (test API)

namespace power {
namespace {
NTSTATUS SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
    IO_STACK_LOCATION parameters{};
    parameters.Parameters.Power.Type = SystemPowerState;
    parameters.Parameters.Power.State.SystemState = state;
    parameters.Parameters.Power.ShutdownType =
        state == PowerSystemWorking    ? PowerActionNone
        : state == PowerSystemHibernate ? PowerActionHibernate
        : state == PowerSystemShutdown  ? PowerActionShutdown
                                        : PowerActionSleep;
    return io::Send(pdo, IRP_MJ_POWER, minor, &parameters, nullptr);
}
}  // namespace

NTSTATUS SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    return SendSystemPower(pdo, IRP_MN_SET_POWER, state);
}
NTSTATUS QuerySystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    return SendSystemPower(pdo, IRP_MN_QUERY_POWER, state);
}
DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device) { return io::Ext(device)->DeviceState; }
SYSTEM_POWER_STATE SystemState(PDEVICE_OBJECT device) { return io::Ext(device)->SystemState; }

}  // namespace power
}  // namespace hk

// ---------------------------------------------------------------------------------------------
// WDM Plug and Play routines

extern "C" {

void IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        hk::Violation(hk::rule::kIrql, "IoInvalidateDeviceRelations called at IRQL %u", irql);
    if (hk::io::RequireNode(DeviceObject, "IoInvalidateDeviceRelations") == nullptr) return;
    if (Type != BusRelations) return;
    for (PDEVICE_OBJECT d : hk::io::g_pnp->pending)
        if (d == DeviceObject) return;
    hk::io::g_pnp->pending.push_back(DeviceObject);
}

void IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject) {
    hk::io::RequireNode(PhysicalDeviceObject, "IoInvalidateDeviceState");
}

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    hk_io_DeviceNode* node = hk::io::RequireNode(DeviceObject, "IoGetDeviceProperty");
    if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    ULONG number = 0;
    bool isNumber = true;
    std::u16string text;
    switch (DeviceProperty) {
        case DevicePropertyLegacyBusType:
            number = node->pci ? static_cast<ULONG>(PCIBus) : static_cast<ULONG>(Internal);
            break;
        case DevicePropertyBusNumber:
            number = node->pci ? node->config.busNumber : 0;
            break;
        case DevicePropertyAddress:
            number = node->pci ? ((node->config.deviceNumber << 16) | node->config.functionNumber) : node->caps.Address;
            break;
        case DevicePropertyUINumber:
            number = node->pci ? node->config.deviceNumber : node->caps.UINumber;
            break;
        case DevicePropertyDeviceDescription:
            isNumber = false;
            text = hk::io::Widen(node->text);
            text.push_back(0);
            break;
        case DevicePropertyHardwareID:
            isNumber = false;
            text = hk::io::MultiSz(node->hardwareIds);
            break;
        case DevicePropertyEnumeratorName:
            isNumber = false;
            text = hk::io::Widen(node->pci ? "PCI" : node->deviceId.substr(0, node->deviceId.find('\\')));
            text.push_back(0);
            break;
        case DevicePropertyPhysicalDeviceObjectName:
            isNumber = false;
            text = hk::io::Widen(DeviceObject->DeviceObjectExtension->Name);
            text.push_back(0);
            break;
        default:
            return STATUS_INVALID_PARAMETER_2;
    }
    ULONG needed = isNumber ? sizeof(ULONG) : static_cast<ULONG>(text.size() * sizeof(WCHAR));
    *ResultLength = needed;
    if (BufferLength < needed) return STATUS_BUFFER_TOO_SMALL;
    if (isNumber)
        memcpy(PropertyBuffer, &number, sizeof number);
    else
        memcpy(PropertyBuffer, text.data(), needed);
    return STATUS_SUCCESS;
}

}  // extern "C"
