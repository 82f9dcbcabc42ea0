#pragma once

#include "../platform/sockets.h"

class TCPConnection;

// The non-blocking listening socket on every local IPv4 address.
class TCPServer {
public:
    explicit TCPServer(int port);
    ~TCPServer();
    TCPServer(const TCPServer&) = delete;
    TCPServer& operator=(const TCPServer&) = delete;

    // A new connection owned by the caller, or null when no client is waiting.
    TCPConnection* accept();
    // Blocks until a client is waiting or the time-out (ms, negative: none) has passed; true when one waits.
    bool waitForClient(int timeoutMs);

private:
    SOCKET serverSocket;
};
