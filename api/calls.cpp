// Call control: the call exports.
#include "api/request.h"

namespace morel {

namespace {

constexpr size_t kCallTextBytes = sizeof(CallRecord::number);

// A call command with an optional one-byte parameter at offset 20.
int CallCommand(Command command, const uint8_t *param) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx))
        return 0;
    return static_cast<int>(ExchangeRequest(ctx, command, param, param != nullptr ? 1 : 0));
}

} // namespace

} // namespace morel

using namespace morel;

extern "C" {

MORELAPI_API(int) MakeCall(uint8_t param1, uint8_t param2, const void *number) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || number == nullptr)
        return 0;
    // The whole 129-byte text goes out as it stands, whatever its length:
    // 131 bytes of body make a 151-byte frame (extraLength 87).
    uint8_t body[2 + kCallTextBytes];
    body[0] = param1;
    body[1] = param2;
    std::memcpy(body + 2, number, kCallTextBytes);
    return static_cast<int>(ExchangeRequest(ctx, cmd::MakeCall, body, sizeof body));
}

MORELAPI_API(int) EndCall(uint8_t param) { return CallCommand(cmd::EndCall, &param); }
MORELAPI_API(int) AnswerCall(void) { return CallCommand(cmd::AnswerCall, nullptr); }
MORELAPI_API(int) JoinCall(void) { return CallCommand(cmd::JoinCall, nullptr); }
MORELAPI_API(int) InviteConference(void) { return CallCommand(cmd::InviteConference, nullptr); }
MORELAPI_API(int) RejectCall(void) { return CallCommand(cmd::RejectCall, nullptr); }
MORELAPI_API(int) HoldOperate(uint8_t param) { return CallCommand(cmd::HoldOperate, &param); }

} // extern "C"
