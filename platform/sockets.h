// Windows Sockets subset used by the server core.
// On Windows these are the system's own; elsewhere platform/posix maps them onto BSD sockets.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <cstdint>

typedef unsigned int SOCKET;
typedef uint16_t WORD;
typedef unsigned long u_long;
typedef unsigned long ULONG;
typedef int INT;

#define INVALID_SOCKET (SOCKET)(~0u)
#define SOCKET_ERROR (-1)
#define MAKEWORD(low, high) ((WORD)(((uint8_t)(low)) | ((WORD)((uint8_t)(high))) << 8))

#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEINVAL 10022
#define WSAEWOULDBLOCK 10035
#define WSAENOTSOCK 10038
#define WSAEADDRINUSE 10048
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOTCONN 10057
#define WSAETIMEDOUT 10060

#define SD_RECEIVE SHUT_RD
#define SD_SEND SHUT_WR
#define SD_BOTH SHUT_RDWR

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
};

typedef struct pollfd WSAPOLLFD;

// Starts the layer; also keeps a peer's early close from ending the process by SIGPIPE.
int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
int closesocket(SOCKET s);
int ioctlsocket(SOCKET s, long command, u_long* argument);
int WSAPoll(WSAPOLLFD* fds, ULONG count, INT timeoutMs);
#endif

namespace platform {

// Lets a listener bind again while closed connections of an earlier one linger in TIME_WAIT,
// as Windows allows by default; it never lets two listeners share a port.
void allowRebindAfterClose(SOCKET listener);

}  // namespace platform
