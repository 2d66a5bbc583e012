#include "korvel/net/socket_errors.h"

#include <netdb.h>

#include <cerrno>
#include <cstdio>

namespace NetModel {
namespace {
thread_local int t_lastError = 0;
}

int SocketErrorFromErrno(int err) {
    switch (err) {
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
        case EWOULDBLOCK:
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
        case ECONNRESET:
        case EPIPE:
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
        default:
            return err;
    }
}

int SocketErrorFromResolver(int eaiCode) {
    switch (eaiCode) {
        case EAI_NONAME:
            return 11001;
        case EAI_AGAIN:
            return 11002;
        case EAI_FAIL:
            return 11003;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return 11004;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
            return 11004;
#endif
        case EAI_MEMORY:
            return 10055;
        case EAI_SYSTEM:
            return SocketErrorFromErrno(errno);
        default:
            return 11003;
    }
}

int LastSocketError() {
    return t_lastError;
}
void SetLastSocketError(int code) {
    t_lastError = code;
}

std::string SocketErrorText(int code) {
    switch (code) {
        case 10004:
            return "Blocking call cancelled";
        case 10022:
            return "app version not supported by DLL";
        case 10024:
            return "no file descriptors available";
        case 10035:
            return "socket marked as non-blocking and SO_LINGER set not 0";
        case 10036:
            return "Blocking operation in progress";
        case 10038:
            return "descriptor is not a socket";
        case 10041:
            return "protocol wrong type for this socket";
        case 10043:
            return "specified protocol not supported";
        case 10044:
            return "socket type not supported for address family";
        case 10047:
            return "address family not supported";
        case 10048:
            return "address already in use";
        case 10049:
            return "address not available";
        case 10050:
            return "Network subsystem failed";
        case 10053:
            return "connection aborted";
        case 10054:
            return "connection reset";
        case 10055:
            return "no buffer space available";
        case 10057:
            return "not connected";
        case 10060:
            return "connection timed out";
        case 10061:
            return "connection refused";
        case 10064:
            return "host down";
        case 10065:
            return "host unreachable";
        case 10091:
            return "WinSock not present or not responding";
        case 10092:
            return "version of WinSock not supported";
        case 10093:
            return "WSA Startup not initialized";
        case 11001:
            return "Authoritive: Host not found";
        case 11002:
            return "Non-authoritive: host not found or server failure";
        case 11003:
            return "Non-recoverable: refused or not implemented";
        case 11004:
            return "Valid name, no data record for type";
        default: {
            char text[64];
            std::snprintf(text, sizeof text, "Err code: %d", code);
            return text;
        }
    }
}

}  // namespace NetModel
