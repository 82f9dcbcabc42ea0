#include "../media.h"

#include <alsa/asoundlib.h>
#include <cstdlib>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

namespace {

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

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
