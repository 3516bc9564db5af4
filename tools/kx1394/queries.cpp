#include "queries.h"

#include <cstdio>
#include <cstring>

#include "kx1394.h"

namespace kx1394 {

namespace {

// The output record of an answer (the bytes the driver wrote into the program's buffer).
template <typename Record>
Record As(const Answer& a) {
    Record record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(&record, a.out.data(), a.out.size() < sizeof record ? a.out.size() : sizeof record);
    return record;
}

// A successful answer that reported fewer bytes than its record holds is the driver's fault; it
// is shown as such rather than read as zeros.
bool ShortAnswer(const Answer& a, ULONG needed, Value* value) {
    if (a.returned >= needed) return false;
    value->code = "short answer";
    value->problem = "driver reported " + std::to_string(a.returned) + " bytes of " + std::to_string(needed);
    return true;
}

// Sends a status-byte query; while the driver says a bus reset is in progress, waits a little
// and asks again.
Answer StatusByteQuery(Session& session, ULONG code, const void* in, ULONG inLength, ULONG outLength) {
    Answer answer;
    for (int attempt = 0; attempt < 50; ++attempt) {
        answer = session.Control(code, in, inLength, outLength);
        if (answer.status != STATUS_SUCCESS || answer.out.empty() || answer.out[0] != KX1394_ANSWER_BUS_RESET) break;
        session.Run(10 * kTicksPerMs);
    }
    return answer;
}

Value NodeNumber(Session& session, ULONG code) {
    Answer a = StatusByteQuery(session, code, nullptr, 0, sizeof(Kx1394NodeAnswer));
    Value v;
    if (a.status != STATUS_SUCCESS) return Value::Failed(a.status);
    if (ShortAnswer(a, sizeof(Kx1394NodeAnswer), &v)) return v;
    Kx1394NodeAnswer answer = As<Kx1394NodeAnswer>(a);
    if (answer.Status != KX1394_ANSWER_DONE) return Value::StatusByte(answer.Status);
    return Value::Number(answer.Value, std::to_string(answer.Value));
}

NTSTATUS SendHandle(Session& session, ULONG code, HANDLE handle) {
    // The handle in the layout of the program's width.
    if (session.is32Bit()) {
        Kx1394EventHandle32 input = {};
        input.Event = uint32_t(reinterpret_cast<uintptr_t>(handle));
        return session.Control(code, &input, sizeof input, 0).status;
    }
    Kx1394EventHandle64 input = {};
    input.Event = reinterpret_cast<uintptr_t>(handle);
    return session.Control(code, &input, sizeof input, 0).status;
}

}  // namespace

std::string SpeedName(unsigned code) {
    switch (code) {
    case KX1394_S100: return "S100";
    case KX1394_S200: return "S200";
    case KX1394_S400: return "S400";
    case KX1394_S800: return "S800";
    case KX1394_S1600: return "S1600";
    case KX1394_S3200: return "S3200";
    default: return "speed code " + std::to_string(code);
    }
}

Value QueryInterfaceVersion(Session& session) {
    Answer a = session.Control(IOCTL_GET_INTERFACE_VERSION, nullptr, 0, sizeof(Kx1394InterfaceVersion));
    Value v;
    if (a.status != STATUS_SUCCESS) return Value::Failed(a.status);
    if (ShortAnswer(a, sizeof(Kx1394InterfaceVersion), &v)) return v;
    uint16_t version = As<Kx1394InterfaceVersion>(a).Version;
    return Value::Number(version, Hex(version, 4));
}

Value QueryOhciVersion(Session& session) {
    Answer a = session.Control(IOCTL_GET_OHCI_VERSION, nullptr, 0, sizeof(Kx1394OhciVersion));
    Value v;
    if (a.status != STATUS_SUCCESS) return Value::Failed(a.status);
    if (ShortAnswer(a, sizeof(Kx1394OhciVersion), &v)) return v;
    // The revision is BCD: version 1, revision 0x10 is OHCI 1.10.
    Kx1394OhciVersion answer = As<Kx1394OhciVersion>(a);
    char text[16];
    std::snprintf(text, sizeof text, "%X.%02X", answer.Version, answer.Revision);
    return Value::Number(uint64_t(answer.Version) << 8 | answer.Revision, text);
}

Value QueryGuid(Session& session) {
    Answer a = session.Control(IOCTL_GET_LOCAL_GUID, nullptr, 0, sizeof(Kx1394LocalGuid));
    Value v;
    if (a.status != STATUS_SUCCESS) return Value::Failed(a.status);
    if (ShortAnswer(a, sizeof(Kx1394LocalGuid), &v)) return v;
    Kx1394LocalGuid answer = As<Kx1394LocalGuid>(a);
    uint64_t guid = uint64_t(answer.GuidHi) << 32 | answer.GuidLo;
    return Value::Number(guid, Hex(guid, 16));
}

Value QueryLocalNode(Session& session) { return NodeNumber(session, IOCTL_GET_LOCAL_NODE); }
Value QueryNodeCount(Session& session) { return NodeNumber(session, IOCTL_GET_NODE_COUNT); }
Value QueryIrmNode(Session& session) { return NodeNumber(session, IOCTL_GET_IRM_NODE); }

Value QueryBusResetCount(Session& session) {
    Answer a = StatusByteQuery(session, IOCTL_GET_BUS_RESET_COUNT, nullptr, 0, sizeof(Kx1394BusResetCount));
    Value v;
    if (a.status != STATUS_SUCCESS) return Value::Failed(a.status);
    if (ShortAnswer(a, sizeof(Kx1394BusResetCount), &v)) return v;
    Kx1394BusResetCount answer = As<Kx1394BusResetCount>(a);
    if (answer.Status != KX1394_ANSWER_DONE) return Value::StatusByte(answer.Status);
    uint32_t count = answer.Count;
    return Value::Number(count, std::to_string(count));
}

Value QueryLinkActiveNodes(Session& session, Value* count) {
    Answer a = StatusByteQuery(session, IOCTL_GET_LINK_ACTIVE_NODES, nullptr, 0, sizeof(Kx1394LinkActiveNodes));
    Value v;
    if (a.status != STATUS_SUCCESS) {
        v = Value::Failed(a.status);
    } else if (!ShortAnswer(a, sizeof(Kx1394LinkActiveNodes), &v)) {
        Kx1394LinkActiveNodes answer = As<Kx1394LinkActiveNodes>(a);
        if (answer.Status == KX1394_ANSWER_DONE) {
            uint64_t mask = answer.Mask;
            *count = Value::Number(answer.Count, std::to_string(answer.Count));
            return Value::Number(mask, Hex(mask, 16));
        }
        v = Value::StatusByte(answer.Status);
    }
    *count = v;
    return v;
}

Value QueryNodeSpeed(Session& session, unsigned phyId) {
    uint16_t nodeId = KX1394_NodeId(uint8_t(phyId));
    Answer a = StatusByteQuery(session, IOCTL_GET_NODE_SPEED, &nodeId, sizeof nodeId, sizeof(Kx1394NodeAnswer));
    Value v;
    if (a.status != STATUS_SUCCESS) return Value::Failed(a.status);
    if (ShortAnswer(a, sizeof(Kx1394NodeAnswer), &v)) return v;
    Kx1394NodeAnswer answer = As<Kx1394NodeAnswer>(a);
    if (answer.Status != KX1394_ANSWER_DONE) return Value::StatusByte(answer.Status);
    return Value::Number(answer.Value, SpeedName(answer.Value));
}

NTSTATUS RequestBusReset(Session& session, bool shortReset, bool* initiated) {
    uint32_t kind = shortReset ? KX1394_BUS_RESET_SHORT : KX1394_BUS_RESET_LONG;
    Answer a = session.Control(IOCTL_BUS_RESET, &kind, sizeof kind, sizeof(uint32_t));
    uint32_t answer = As<uint32_t>(a);
    *initiated = a.status == STATUS_SUCCESS && a.returned >= sizeof answer && answer == KX1394_BUS_RESET_INITIATED;
    return a.status;
}

NTSTATUS SetBusResetEvent(Session& session, HANDLE event) { return SendHandle(session, IOCTL_SET_BUS_RESET_EVENT, event); }
NTSTATUS SetBusReadyEvent(Session& session, HANDLE event) { return SendHandle(session, IOCTL_SET_BUS_READY_EVENT, event); }
NTSTATUS RegisterClient(Session& session, HANDLE terminationEvent) {
    return SendHandle(session, IOCTL_REGISTER_CLIENT, terminationEvent);
}

}  // namespace kx1394
