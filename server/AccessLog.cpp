#include "AccessLog.h"

#include <cstdio>
#include <ctime>

namespace {

// Fixed English names: the line reads the same whatever the process locale.
const char* const dayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const monthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

AccessLog::AccessLog(const char* fileName) : fileName(fileName) {}

void AccessLog::log(const char* message)
{
    // The stamp says GMT, so it is taken in UTC.
    const std::time_t now = std::time(nullptr);
    const std::tm* utc = std::gmtime(&now);
    char stamp[255] = "";
    if (utc != nullptr) {
        std::snprintf(stamp, sizeof stamp, "%s, %02d %s %04d %02d:%02d:%02d GMT", dayNames[utc->tm_wday % 7],
                      utc->tm_mday, monthNames[utc->tm_mon % 12], utc->tm_year + 1900, utc->tm_hour, utc->tm_min,
                      utc->tm_sec);
    }
    std::FILE* file = std::fopen(fileName, "a");
    if (file == nullptr)
        return;
    std::fprintf(file, "%s - %s\n", stamp, message);
    std::fflush(file);
    std::fclose(file);
}
