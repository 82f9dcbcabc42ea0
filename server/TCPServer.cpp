#include "TCPServer.h"

#include <cstring>

#include "TCPConnection.h"
#include "lumetra.h"

namespace {

const int listenBacklog = 10;

[[noreturn]] void fail(SOCKET socketToClose, const char* message)
{
    // Closed explicitly: ending the socket layer does not discard it everywhere, and a
    // restarting service would otherwise leak one socket per failed start-up.
    if (socketToClose != INVALID_SOCKET)
        closesocket(socketToClose);
    WSACleanup();
    throw ErrorText(message);
}

// Errors that only say one waiting client went away before it could be taken.
bool clientVanished(int error)
{
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAEINTR;
}

}  // namespace

TCPServer::TCPServer(int port) : serverSocket(INVALID_SOCKET)
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        throw ErrorText("TCPConnection: WSAStartup() == NULL");

    serverSocket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (serverSocket == INVALID_SOCKET)
        fail(INVALID_SOCKET, "TCPConnection: socket == INVALID_SOCKET");

    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<unsigned short>(port & 0xFFFF));
    local.sin_addr.s_addr = htonl(INADDR_ANY);

    u_long nonBlocking = 1;
    ioctlsocket(serverSocket, FIONBIO, &nonBlocking);
    platform::allowRebindAfterClose(serverSocket);

    if (bind(serverSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) == SOCKET_ERROR)
        fail(serverSocket, "TCPConnection: bind == SOCKET_ERROR");
    if (listen(serverSocket, listenBacklog) == SOCKET_ERROR)
        fail(serverSocket, "TCPConnection: listen() == SOCKET_ERROR");
}

TCPServer::~TCPServer()
{
    closesocket(serverSocket);
    WSACleanup();
}

TCPConnection* TCPServer::accept()
{
    sockaddr_in clientAddr;
    std::memset(&clientAddr, 0, sizeof clientAddr);
    socklen_t length = sizeof clientAddr;
    const SOCKET client = ::accept(serverSocket, reinterpret_cast<sockaddr*>(&clientAddr), &length);
    if (client == INVALID_SOCKET) {
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK || clientVanished(error))
            return nullptr;
        WSACleanup();
        throw ErrorText("TCPConnection: accept() == INVALID_SOCKET");
    }
    return new TCPConnection(client, clientAddr);
}

bool TCPServer::waitForClient(int timeoutMs)
{
    WSAPOLLFD listener;
    listener.fd = serverSocket;
    listener.events = POLLIN;
    listener.revents = 0;
    return WSAPoll(&listener, 1, timeoutMs) > 0;
}
