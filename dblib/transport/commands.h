// The base of every command object: a parameter object writes a request's
// values, a result object reads the answer. Both run through one transfer
// status: the first value that fails ends the transfer with its status.
#pragma once

#include <cstdint>
#include <string>

#include "frame/field_reader.h"
#include "transport/kdmii_buf.h"

namespace kdm {

enum CommandStatus : int {
    kStatusOk = 0,
    kStatusWrongType = 1,
    kStatusNull = 2,
    kStatusBeyondEnd = 3,
    kStatusTimeout = 4,
    kStatusConnectionLost = 5,
    kStatusDataLost = 6,
    kStatusRefused = 7,
    kStatusAborted = 9,
    kStatusChannelLost = 10,
};

inline constexpr uint32_t kCmdNegotiateInterface = 0x00020000;
inline constexpr int64_t kNegotiateTimeoutMs = 60000;

class CCMD_Base_Params {
public:
    CCMD_Base_Params(uint32_t identity, const char* name) : m_identity(identity), m_name(name) {}
    virtual ~CCMD_Base_Params() = default;
    // The server side reads what the client wrote.
    virtual int Read(CKDMIIBuf& buffer) = 0;
    virtual int Write(CKDMIIBuf& buffer) = 0;

    uint32_t Identity() const { return m_identity; }
    const char* Name() const { return m_name; }

private:
    uint32_t m_identity;
    const char* m_name;
};

class CCMD_Custom_Result {
public:
    virtual ~CCMD_Custom_Result() = default;
    // Reads the whole answer payload; the transfer status.
    virtual int Read(CKDMIIBuf& buffer) = 0;
    // The server side writes a successful answer.
    virtual int Write(CKDMIIBuf& buffer) = 0;

    int32_t ErrorCode() const { return m_errorCode; }
    int32_t ErrorType() const { return m_errorType; }
    const std::string& ErrorMessage() const { return m_errorMessage; }
    void SetError(int32_t code, int32_t type, std::string message) {
        m_errorCode = code;
        m_errorType = type;
        m_errorMessage = std::move(message);
    }

protected:
    int32_t m_errorCode = 0;
    int32_t m_errorType = 0;
    std::string m_errorMessage;
};

// Status word, then the values or the refusal's three values.
class CCMD_Async_Result : public CCMD_Custom_Result {
public:
    int Read(CKDMIIBuf& buffer) override;
    int Write(CKDMIIBuf& buffer) override;
    // Writes a refusal.
    static void WriteRefusal(CKDMIIBuf& buffer, uint32_t status, int32_t code, int32_t type,
                             const char* message);

protected:
    virtual int ReadValues(CKDMIIBuf& buffer) = 0;
    virtual int WriteValues(CKDMIIBuf& buffer) = 0;
};

class CCMD_Async_Result_NoArgs : public CCMD_Async_Result {
protected:
    int ReadValues(CKDMIIBuf&) override { return kStatusOk; }
    int WriteValues(CKDMIIBuf&) override { return kStatusOk; }
};

class CCMD_NegotiateInterface_Params : public CCMD_Base_Params {
public:
    CCMD_NegotiateInterface_Params(int32_t first = 0, int32_t second = 0)
        : CCMD_Base_Params(kCmdNegotiateInterface, "NegotiateInterface"), first(first),
          second(second) {}
    int Read(CKDMIIBuf& buffer) override;
    int Write(CKDMIIBuf& buffer) override;
    int32_t first;
    int32_t second;
};

class CCMD_NegotiateInterface_Result : public CCMD_Async_Result {
public:
    bool accepted = false;
    int32_t agreed = 0;
    int32_t extra1 = 0;
    int32_t extra2 = 0;

protected:
    int ReadValues(CKDMIIBuf& buffer) override;
    int WriteValues(CKDMIIBuf& buffer) override;
};

// Raises the error a non-zero transfer status stands for. `result` gives
// the refusal's details for status 7; it may be null.
[[noreturn]] void RaiseTransferError(int status, const char* name,
                                     const CCMD_Custom_Result* result);

} // namespace kdm
