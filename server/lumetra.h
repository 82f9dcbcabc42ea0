#pragma once

#include <memory>
#include <sstream>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "AccessLog.h"
#include "ConfigFile.h"
#include "TCPConnection.h"
#include "TCPServer.h"

// Every failure the server detects is thrown as its message text.
using ErrorText = std::string;

// Server state: shared by start-up, the request cycle and the hosts, used by one thread.
extern std::unique_ptr<ConfigFile> config;
extern std::unique_ptr<TCPServer> server;
extern std::unique_ptr<TCPConnection> conn;
extern std::string s;
extern std::stringstream ss1;
extern int port;
extern bool createLog;
extern std::unique_ptr<AccessLog> logFile;
extern bool resize;
extern cv::Size destSize;
extern std::unique_ptr<cv::VideoCapture> inStream;
extern cv::Mat inImage;
extern cv::Mat outImage;

// Start-up: 0 when complete, 1 after the usage text (nothing created).
int prologue(int argc, char** argv);
void epilogue();
void releaseResources();
void writeToLog(const char* message);

// One pass of the request cycle; returns at once when no client is waiting.
void labourer();
// Blocks until a client is waiting on the listener, at most timeoutMs (negative: no limit).
bool awaitClient(int timeoutMs);

bool file_exists(const char* path);

// The largest scaled picture side accepted at start-up.
constexpr int maxPictureSide = 16384;
