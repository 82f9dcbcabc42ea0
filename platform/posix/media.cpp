#include "../media.h"

#include <alsa/asoundlib.h>
#include <cstdlib>
#include <malloc.h>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

namespace {

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// The capture libraries allocate and free frame buffers of megabytes for every picture. With its
// adaptive thresholds the C library can fall into handing that memory back to the kernel after
// each picture, so that its pages fault in again on every request (hundreds a picture, more
// processor time than the capture itself). Fixed thresholds keep it for the next picture.
const bool frameMemoryKept = [] {
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
    return true;
}();

}  // namespace

namespace platform {

int cameraBackend()
{
    return cv::CAP_V4L2;
}

void quietMediaLogs()
{
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    // GStreamer reads its debug level when it first starts; "0" keeps it from printing.
    setenv("GST_DEBUG", "0", 0);
    snd_lib_error_set_handler(ignoreAlsaError);
}

}  // namespace platform
