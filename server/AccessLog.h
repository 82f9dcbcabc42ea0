#pragma once

// Appends one time-stamped line per message; the file is open only while a line is written.
class AccessLog {
public:
    // Keeps the path text without copying it: the caller keeps it valid as long as the log.
    explicit AccessLog(const char* fileName);

    // Never fails: a line that cannot be written is lost without notice.
    void log(const char* message);

private:
    const char* fileName;
};
