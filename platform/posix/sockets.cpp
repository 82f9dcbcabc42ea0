#include "../sockets.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

int WSAStartup(WORD versionRequested, WSADATA* data)
{
    // A write to a peer that has gone must fail like any other send, not raise SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    if (data != nullptr) {
        std::memset(data, 0, sizeof *data);
        data->wVersion = versionRequested;
        data->wHighVersion = MAKEWORD(2, 2);
        std::strcpy(data->szDescription, "BSD sockets");
        std::strcpy(data->szSystemStatus, "Running");
    }
    return 0;
}

int WSACleanup()
{
    return 0;
}

int WSAGetLastError()
{
    switch (errno) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
        return WSAEWOULDBLOCK;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EINVAL: return WSAEINVAL;
    case ENOTSOCK: return WSAENOTSOCK;
    case EADDRINUSE: return WSAEADDRINUSE;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE:
        return WSAECONNRESET;
    case ENOTCONN: return WSAENOTCONN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    default: return 10000 + errno;
    }
}

int closesocket(SOCKET s)
{
    return close(static_cast<int>(s)) == 0 ? 0 : SOCKET_ERROR;
}

int ioctlsocket(SOCKET s, long command, u_long* argument)
{
    if (argument == nullptr) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    int value = static_cast<int>(*argument);
    return ioctl(static_cast<int>(s), static_cast<unsigned long>(command), &value) == 0 ? 0 : SOCKET_ERROR;
}

int WSAPoll(WSAPOLLFD* fds, ULONG count, INT timeoutMs)
{
    int ready;
    do {
        ready = poll(fds, static_cast<nfds_t>(count), timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready < 0 ? SOCKET_ERROR : ready;
}

namespace platform {

void allowRebindAfterClose(SOCKET listener)
{
    int on = 1;
    setsockopt(static_cast<int>(listener), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

}  // namespace platform
