#include "capture.h"

#include "../platform/media.h"

std::unique_ptr<cv::VideoCapture> openCapture(int device, const std::string& deviceSource)
{
    platform::quietMediaLogs();
    auto capture = std::make_unique<cv::VideoCapture>();
    if (!deviceSource.empty())
        capture->open(deviceSource, cv::CAP_ANY);
    else
        capture->open(device, platform::cameraBackend());
    return capture;
}
