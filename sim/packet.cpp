#include "packet.h"

namespace sim {

int Packet::HeaderQuadlets() const {
    switch (Tcode()) {
    case kTcodeWriteResponse:
    case kTcodeReadQuadletRequest:
        return 3;
    default:
        return 4;
    }
}

Packet MakeResponse(const Packet& request, uint16_t responderId, uint8_t rcode) {
    Packet response;
    response.speed = request.speed;
    response.SetDestinationId(request.SourceId());
    response.SetTlabel(request.Tlabel());
    response.SetRetry(0);
    switch (request.Tcode()) {
    case kTcodeWriteQuadletRequest:
    case kTcodeWriteBlockRequest:
        response.SetTcode(kTcodeWriteResponse);
        break;
    case kTcodeReadQuadletRequest:
        response.SetTcode(kTcodeReadQuadletResponse);
        break;
    case kTcodeReadBlockRequest:
        response.SetTcode(kTcodeReadBlockResponse);
        break;
    case kTcodeLockRequest:
        response.SetTcode(kTcodeLockResponse);
        break;
    default:
        break;
    }
    response.SetSourceId(responderId);
    response.SetRcode(rcode);
    if (request.Tcode() == kTcodeLockRequest) response.SetDataLengthAndExtendedTcode(0, request.ExtendedTcode());
    return response;
}

}  // namespace sim
