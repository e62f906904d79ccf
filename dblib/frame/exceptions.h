// The exception family of the library. Every failure inside an export is
// one of these; the export frame turns it into the caller's last-error
// record (see export_frame.h).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace kdm {

// printf into a std::string; the library's messages are built with it.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string VFormat(const char* format, va_list args);

class EException {
public:
    static constexpr size_t kMessageCapacity = 512;

    explicit EException(const char* message, int32_t number1 = 0, int32_t number2 = 0);
    EException(const std::string& message, int32_t number1 = 0, int32_t number2 = 0)
        : EException(message.c_str(), number1, number2) {}
    virtual ~EException() = default;

    const char* Message() const { return m_message; }
    int32_t Number1() const { return m_number1; }
    int32_t Number2() const { return m_number2; }

private:
    char m_message[kMessageCapacity];
    int32_t m_number1;
    int32_t m_number2;
};

// Carries the error code that the caller sees.
class EClassifiedException : public EException {
public:
    EClassifiedException(int32_t classification, const char* message, int32_t number1 = 0,
                         int32_t number2 = 0)
        : EException(message, number1, number2), m_classification(classification) {}
    EClassifiedException(int32_t classification, const std::string& message, int32_t number1 = 0,
                         int32_t number2 = 0)
        : EClassifiedException(classification, message.c_str(), number1, number2) {}
    int32_t Classification() const { return m_classification; }

private:
    int32_t m_classification;
};

// Error codes that callers act on.
enum ErrorCode : int32_t {
    kErrAborted = -1,
    kErrNotImplemented = -2,
    kErrUnknown = 0,
    kErrGeneric = 1,
    kErrConnection = 2,
    kErrInvalidHandle = 4,
    kErrRecorder = 5,
    kErrReleaseLockEvent = 6,
    kErrInterface = 7,
    kErrHeap = 8,
    kErrParameter = 9,
    kErrDatabaseEngine = 10,
    kErrSql = 11,
    kErrTimeout = 12,
};

inline constexpr const char kTextAborted[] = "Command aborted.";
inline constexpr const char kTextNotImplemented[] = "Command not implemented.";

class EInvalidHandle : public EClassifiedException {
public:
    explicit EInvalidHandle(const char* message)
        : EClassifiedException(kErrInvalidHandle, message) {}
};

class EHeapError : public EClassifiedException {
public:
    explicit EHeapError(const char* message) : EClassifiedException(kErrHeap, message) {}
};

class ECmdAborted : public EClassifiedException {
public:
    ECmdAborted() : EClassifiedException(kErrAborted, kTextAborted) {}
};

class ECmdNotImplemented : public EClassifiedException {
public:
    ECmdNotImplemented() : EClassifiedException(kErrNotImplemented, kTextNotImplemented) {}
};

class CIPConnectionException : public EException {
public:
    CIPConnectionException(const std::string& message, int32_t number1 = 0, int32_t number2 = 0,
                           int32_t value = 0)
        : EException(message, number1, number2), m_value(value) {}
    int32_t Value() const { return m_value; }

private:
    int32_t m_value;
};

class EBackupException : public EException {
    using EException::EException;
};
class ETapeException : public EException {
    using EException::EException;
};
class TBitArrayException : public EException {
    using EException::EException;
};
class EGrowableBuffer : public EException {
    using EException::EException;
};
// Datagram failures: the text names the operation and the socket error.
class CUDPException : public EException {
public:
    using EException::EException;
    CUDPException(const std::string& message, int32_t code, int32_t direction, uint16_t port,
                  int socket)
        : EException(message, code, direction), m_code(code), m_direction(direction), m_port(port),
          m_socket(socket) {}
    int32_t Code() const { return m_code; }
    int32_t Direction() const { return m_direction; }
    uint16_t Port() const { return m_port; }
    int Socket() const { return m_socket; }

private:
    int32_t m_code = 0;
    int32_t m_direction = 0;
    uint16_t m_port = 0;
    int m_socket = -1;
};

} // namespace kdm
