// A stand-in camera for the request cycle: openCapture() hands out a capture that follows a
// script set by the test and records every call made on it.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace fakecam {

enum class Fault {
    none,
    grabFails,         // grab() returns false
    retrieveFails,     // retrieve() returns false
    retrieveEmpty,     // retrieve() returns true with an empty frame
    openThrowsCv,      // openCapture() throws cv::Exception
    grabThrowsCv,      // grab() throws cv::Exception
    grabThrowsStd,     // grab() throws std::runtime_error
    retrieveThrowsCv,  // retrieve() throws cv::Exception
    retrieveThrowsStd  // retrieve() throws std::runtime_error
};

struct Script {
    cv::Size frameSize{64, 48};
    // Random pixels: they barely compress, so the JPEG stays about as large as the frame.
    bool noisy = false;
    Fault fault = Fault::none;
    // Runs inside grab(), before it answers.
    std::function<void()> onGrab;
};

struct Call {
    std::string name;  // "open", "grab", "retrieve", "release", "destroy"
    std::chrono::steady_clock::time_point at;
};

// Forgets the calls of earlier captures and sets the script for the next ones.
void reset(const Script& script = Script());

// Everything recorded since the last reset, oldest first.
std::vector<Call> calls();
std::vector<std::string> callNames();

// Arguments of the last openCapture() call.
int openedDevice();
std::string openedSource();

// Live captures handed out and not destroyed yet.
int liveCaptures();

// The frame that retrieve() delivers under the current script.
cv::Mat scriptedFrame();

}  // namespace fakecam
