#include "capture.h"

#include "../platform/media.h"

namespace {

// Elements of a GStreamer pipeline are joined by "!"; names of files and streams seldom hold one.
bool looksLikePipeline(const std::string& deviceSource)
{
    return deviceSource.find('!') != std::string::npos;
}

}  // namespace

std::unique_ptr<cv::VideoCapture> openCapture(int device, const std::string& deviceSource)
{
    // The settings last for the process: once, before the first capture starts its libraries.
    static const bool quietened = (platform::quietMediaLogs(), true);
    (void)quietened;

    auto capture = std::make_unique<cv::VideoCapture>();
    if (deviceSource.empty()) {
        capture->open(device, platform::cameraBackend());
        return capture;
    }
    // Any backend would first try a pipeline as a file name: straight to GStreamer saves that on
    // every request. A name that only looked like a pipeline still gets every backend.
    if (!looksLikePipeline(deviceSource) || !capture->open(deviceSource, cv::CAP_GSTREAMER))
        capture->open(deviceSource, cv::CAP_ANY);
    return capture;
}
