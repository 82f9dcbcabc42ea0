// Camera backend choice and the quieting of media libraries' own console output.
#pragma once

namespace platform {

// OpenCV capture backend used to open a camera by index (V4L2 on Linux, Media Foundation on Windows).
int cameraBackend();

// Keeps OpenCV, GStreamer and ALSA from writing to the standard streams; idempotent.
void quietMediaLogs();

}  // namespace platform
