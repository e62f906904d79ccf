// Socket error numbers as the protocol's peers and callers know them (the
// Windows socket numbering), mapped from the host's errno values.
#pragma once

#include <cstdint>

namespace kdm {

enum SocketError : int32_t {
    kSockNoError = 0,
    kSockEBADF = 10009,
    kSockEACCES = 10013,
    kSockEFAULT = 10014,
    kSockEINVAL = 10022,
    kSockEMFILE = 10024,
    kSockEWOULDBLOCK = 10035,
    kSockEINPROGRESS = 10036,
    kSockENOTSOCK = 10038,
    kSockEMSGSIZE = 10040,
    kSockEADDRINUSE = 10048,
    kSockEADDRNOTAVAIL = 10049,
    kSockENETDOWN = 10050,
    kSockENETUNREACH = 10051,
    kSockENETRESET = 10052,
    kSockECONNABORTED = 10053,
    kSockECONNRESET = 10054,
    kSockENOBUFS = 10055,
    kSockEISCONN = 10056,
    kSockENOTCONN = 10057,
    kSockESHUTDOWN = 10058,
    kSockETIMEDOUT = 10060,
    kSockECONNREFUSED = 10061,
    kSockEHOSTUNREACH = 10065,
    kSockHOST_NOT_FOUND = 11001,
    kSockTRY_AGAIN = 11002,
    kSockNO_RECOVERY = 11003,
    kSockNO_DATA = 11004,
};

// "NO ERROR", the constant's name, or "SOCKET:Unknown Error".
const char* WinsockErrorName(int32_t code);
int32_t WinsockFromErrno(int err);
// From a getaddrinfo result.
int32_t WinsockFromResolver(int eaiCode);

// The calling thread's last socket error, as WSAGetLastError would give it.
int32_t SocketLastError();
void SetSocketLastError(int32_t code);

} // namespace kdm
