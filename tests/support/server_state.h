// For in-process tests of the core: the server state is process-wide, so every test starts and
// ends with it as at process start.
#pragma once

#include "../../server/lumetra.h"

namespace testing_support {

inline void resetServerState()
{
    releaseResources();
    logFile.reset();  // before the configuration that holds its path
    config.reset();
    s.clear();
    ss1.str(std::string());
    ss1.clear();
    port = 80;
    createLog = false;
    resize = false;
    destSize = cv::Size(0, 0);
    inImage.release();
    outImage.release();
}

}  // namespace testing_support
