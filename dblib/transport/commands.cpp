#include "transport/commands.h"

#include "frame/exceptions.h"

namespace kdm {

int CCMD_Async_Result::Read(CKDMIIBuf& buffer) {
    uint32_t status = 0;
    int rc = buffer.GetRawU32(&status);
    if (rc != kStatusOk)
        return rc;
    if (status == 0)
        return ReadValues(buffer);
    CBasicString message;
    int32_t code = 0;
    int32_t type = 0;
    rc = buffer.GetInt32(&code);
    if (rc == kStatusOk)
        rc = buffer.GetInt32(&type);
    if (rc == kStatusOk)
        rc = buffer.GetString(message);
    if (rc != kStatusOk)
        return rc;
    SetError(code, type, message.c_str());
    return kStatusRefused;
}

int CCMD_Async_Result::Write(CKDMIIBuf& buffer) {
    buffer.PutRawU32(0);
    return WriteValues(buffer);
}

void CCMD_Async_Result::WriteRefusal(CKDMIIBuf& buffer, uint32_t status, int32_t code, int32_t type,
                                     const char* message) {
    buffer.PutRawU32(status != 0 ? status : 1);
    buffer.PutInt32(code);
    buffer.PutInt32(type);
    buffer.PutString(message);
}

int CCMD_NegotiateInterface_Params::Read(CKDMIIBuf& buffer) {
    int rc = buffer.GetInt32(&first);
    if (rc == kStatusOk)
        rc = buffer.GetInt32(&second);
    return rc;
}

int CCMD_NegotiateInterface_Params::Write(CKDMIIBuf& buffer) {
    buffer.PutInt32(first);
    buffer.PutInt32(second);
    return kStatusOk;
}

int CCMD_NegotiateInterface_Result::ReadValues(CKDMIIBuf& buffer) {
    int rc = buffer.GetBool(&accepted);
    if (rc == kStatusOk)
        rc = buffer.GetInt32(&agreed);
    if (rc == kStatusOk)
        rc = buffer.GetInt32(&extra1);
    if (rc == kStatusOk)
        rc = buffer.GetInt32(&extra2);
    return rc;
}

int CCMD_NegotiateInterface_Result::WriteValues(CKDMIIBuf& buffer) {
    buffer.PutBool(accepted);
    buffer.PutInt32(agreed);
    buffer.PutInt32(extra1);
    buffer.PutInt32(extra2);
    return kStatusOk;
}

void RaiseTransferError(int status, const char* name, const CCMD_Custom_Result* result) {
    const std::string n = name != nullptr ? name : "";
    switch (status) {
    case kStatusWrongType:
        throw EException(n + ": Unexpected data type.", status, 600);
    case kStatusNull:
        throw EException(n + ": Unexpected NULL value.", status, 600);
    case kStatusBeyondEnd:
        throw EException(n + ": Command transfer error (read beyond end of buffer).", status, 600);
    case kStatusTimeout:
        throw EClassifiedException(kErrTimeout, n + ": Timeout in command execution.", 0, 0);
    case kStatusConnectionLost:
    case kStatusChannelLost:
        throw CIPConnectionException(n + ": TCP/IP connection lost.");
    case kStatusDataLost:
        throw EException(n + ": Lost data in receive buffer.", status, 600);
    case kStatusRefused: {
        if (result == nullptr)
            throw EException(n + ": Command error without detailed specification.", status, 600);
        static constexpr int32_t kCategories[] = {kErrParameter,        kErrInterface,
                                                  kErrDatabaseEngine,   kErrRecorder,
                                                  kErrReleaseLockEvent, kErrSql};
        const uint32_t type = static_cast<uint32_t>(result->ErrorType());
        if (type >= 0x80000000u && type <= 0x80000005u)
            throw EClassifiedException(kCategories[type - 0x80000000u], result->ErrorMessage(),
                                       result->ErrorCode(), result->ErrorType());
        throw EException(n + ": " + result->ErrorMessage(), status, 600);
    }
    case kStatusAborted:
        throw ECmdAborted();
    default:
        throw EException(n + ": Unknown command error.", 0, 600);
    }
}

} // namespace kdm
