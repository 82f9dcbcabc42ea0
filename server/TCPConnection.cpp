#include "TCPConnection.h"

#include <chrono>

#include "lumetra.h"

namespace {

// A request that has not arrived by then is served like an empty one.
const int requestWaitMs = 2000;
// A client that takes no bytes for this long has stalled the reply.
const int sendStallMs = 10000;
// After the last byte: how long the client's leftover bytes are drained before the close.
const int closeDrainMs = 500;
const int receiveLimit = 65534;

int millisecondsLeft(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool waitFor(SOCKET socket, short events, int timeoutMs)
{
    WSAPOLLFD entry;
    entry.fd = socket;
    entry.events = events;
    entry.revents = 0;
    return WSAPoll(&entry, 1, timeoutMs) > 0;
}

[[noreturn]] void fail(const char* message)
{
    WSACleanup();
    throw ErrorText(message);
}

}  // namespace

TCPConnection::TCPConnection(unsigned int clientSocket, sockaddr_in clientAddr)
    : clientSocket(clientSocket), clientAddr(clientAddr)
{
    // Same mode on every platform (Windows hands the listener's mode on, others do not).
    u_long nonBlocking = 1;
    ioctlsocket(this->clientSocket, FIONBIO, &nonBlocking);
}

TCPConnection::~TCPConnection()
{
    // Closing with unread request bytes would reset the connection and could cut off the
    // end of the picture at the client: end our side, let the client finish, then close.
    if (shutdown(clientSocket, SD_SEND) != SOCKET_ERROR) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(closeDrainMs);
        char leftover[4096];
        while (waitFor(clientSocket, POLLIN, millisecondsLeft(deadline))) {
            if (recv(clientSocket, leftover, sizeof leftover, 0) <= 0)
                break;
        }
    }
    closesocket(clientSocket);
}

void TCPConnection::write(const char* bytes, int count)
{
    if (clientGone)
        return;
    int sent = 0;
    do {
        const int result = send(clientSocket, bytes + sent, count - sent, 0);
        if (result != SOCKET_ERROR) {
            sent += result;
            continue;
        }
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK && waitFor(clientSocket, POLLOUT, sendStallMs))
            continue;
        // A client that connected and closed without a request (a port probe) wants no reply:
        // its reset ends this reply quietly instead of the server.
        if (requestEnded && (error == WSAECONNRESET || error == WSAECONNABORTED)) {
            clientGone = true;
            return;
        }
        fail("TCPConnection: send() == SOCKET_ERROR");
    } while (sent < count);
}

std::string TCPConnection::read()
{
    static char buffer[65536];
    if (!waitFor(clientSocket, POLLIN, requestWaitMs))
        return std::string();
    const int received = recv(clientSocket, buffer, receiveLimit, 0);
    if (received == SOCKET_ERROR) {
        if (WSAGetLastError() == WSAEWOULDBLOCK)
            return std::string();
        fail("TCPConnection: recv() == SOCKET_ERROR");
    }
    requestEnded = received == 0;
    size_t length = 0;
    while (length < static_cast<size_t>(received) && buffer[length] != '\0')
        ++length;
    return std::string(buffer, length);
}

std::string TCPConnection::getIPAddr()
{
    return std::string(inet_ntoa(clientAddr.sin_addr));
}
