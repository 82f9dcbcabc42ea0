#pragma once

#include <string>

#include "../platform/sockets.h"

// One accepted client connection.
class TCPConnection {
public:
    TCPConnection(unsigned int clientSocket, sockaddr_in clientAddr);
    // Ends the reply gracefully (no reset can cut the client's last bytes), then closes the socket.
    ~TCPConnection();
    TCPConnection(const TCPConnection&) = delete;
    TCPConnection& operator=(const TCPConnection&) = delete;

    // Sends the whole block; throws "TCPConnection: send() == SOCKET_ERROR".
    void write(const char* bytes, int count);
    // One receive of at most 65534 bytes, after waiting briefly for the request's first bytes;
    // throws "TCPConnection: recv() == SOCKET_ERROR".
    std::string read();
    std::string getIPAddr();

private:
    unsigned int clientSocket;
    sockaddr_in clientAddr;
    bool requestEnded = false;  // the client had closed its sending side when the request was read
    bool clientGone = false;    // such a client has closed for good: nothing more is sent
};
