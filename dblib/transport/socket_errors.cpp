#include "transport/socket_errors.h"

#include <cerrno>
#include <netdb.h>

namespace kdm {

namespace {
thread_local int32_t t_lastError = 0;

struct NamedError {
    int32_t code;
    const char* name;
};

constexpr NamedError kNames[] = {
    {10009, "WSAEBADF"},        {10013, "WSAEACCES"},          {10014, "WSAEFAULT"},
    {10022, "WSAEINVAL"},       {10024, "WSAEMFILE"},          {10035, "WSAEWOULDBLOCK"},
    {10036, "WSAEINPROGRESS"},  {10037, "WSAEALREADY"},        {10038, "WSAENOTSOCK"},
    {10039, "WSAEDESTADDRREQ"}, {10040, "WSAEMSGSIZE"},        {10041, "WSAEPROTOTYPE"},
    {10042, "WSAENOPROTOOPT"},  {10043, "WSAEPROTONOSUPPORT"}, {10044, "WSAESOCKTNOSUPPORT"},
    {10045, "WSAEOPNOTSUPP"},   {10046, "WSAEPFNOSUPPORT"},    {10047, "WSAEAFNOSUPPORT"},
    {10048, "WSAEADDRINUSE"},   {10049, "WSAEADDRNOTAVAIL"},   {10050, "WSAENETDOWN"},
    {10051, "WSAENETUNREACH"},  {10052, "WSAENETRESET"},       {10053, "WSAECONNABORTED"},
    {10054, "WSAECONNRESET"},   {10055, "WSAENOBUFS"},         {10056, "WSAEISCONN"},
    {10057, "WSAENOTCONN"},     {10058, "WSAESHUTDOWN"},       {10059, "WSAETOOMANYREFS"},
    {10060, "WSAETIMEDOUT"},    {10061, "WSAECONNREFUSED"},    {10062, "WSAELOOP"},
    {10063, "WSAENAMETOOLONG"}, {10064, "WSAEHOSTDOWN"},       {10065, "WSAEHOSTUNREACH"},
    {10066, "WSAENOTEMPTY"},    {10067, "WSAEPROCLIM"},        {10068, "WSAEUSERS"},
    {10069, "WSAEDQUOT"},       {10070, "WSAESTALE"},          {10071, "WSAEREMOTE"},
    {10091, "WSASYSNOTREADY"},  {10092, "WSAVERNOTSUPPORTED"}, {10093, "WSANOTINITIALISED"},
    {10101, "WSAEDISCON"},      {11001, "WSAHOST_NOT_FOUND"},  {11002, "WSATRY_AGAIN"},
    {11003, "WSANO_RECOVERY"},  {11004, "WSANO_DATA"},         {40, "WSANOVALIDADDR"},
    {41, "WSANOBUFMEM"},
};
} // namespace

const char* WinsockErrorName(int32_t code) {
    if (code == 0)
        return "NO ERROR";
    for (const NamedError& e : kNames)
        if (e.code == code)
            return e.name;
    return "SOCKET:Unknown Error";
}

int32_t WinsockFromErrno(int err) {
    switch (err) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
    case EAGAIN:
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    // A write to a connection the peer closed.
    case EPIPE:
    case ECONNRESET:
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    case EUSERS:
        return 10068;
    case EDQUOT:
        return 10069;
    case ESTALE:
        return 10070;
    case EREMOTE:
        return 10071;
    default:
        return 10022;
    }
}

int32_t WinsockFromResolver(int eaiCode) {
    switch (eaiCode) {
    case 0:
        return 0;
    case EAI_AGAIN:
        return kSockTRY_AGAIN;
    case EAI_FAIL:
        return kSockNO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return kSockNO_DATA;
#endif
    case EAI_MEMORY:
        return kSockENOBUFS;
    case EAI_SYSTEM:
        return WinsockFromErrno(errno);
    default:
        return kSockHOST_NOT_FOUND;
    }
}

int32_t SocketLastError() {
    return t_lastError;
}
void SetSocketLastError(int32_t code) {
    t_lastError = code;
}

} // namespace kdm
