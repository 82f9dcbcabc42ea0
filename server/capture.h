#pragma once

#include <memory>
#include <string>

#include <opencv2/videoio.hpp>

// Opens the camera for one request: the media source when one is configured, otherwise the camera index.
// A capture that did not open is still returned; its grab fails.
std::unique_ptr<cv::VideoCapture> openCapture(int device, const std::string& deviceSource);
