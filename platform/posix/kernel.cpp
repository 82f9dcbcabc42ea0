#include "../kernel.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <unistd.h>

void Sleep(DWORD milliseconds)
{
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

DWORD GetCurrentProcessId()
{
    return static_cast<DWORD>(getpid());
}

DWORD GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer)
{
    char path[PATH_MAX];
    if (getcwd(path, sizeof path) == nullptr)
        return 0;
    const size_t length = std::strlen(path);
    // Like Windows: too small a buffer gets nothing and the size it would need, terminator included.
    if (buffer == nullptr || length + 1 > bufferLength)
        return static_cast<DWORD>(length + 1);
    std::memcpy(buffer, path, length + 1);
    return static_cast<DWORD>(length);
}

BOOL SetCurrentDirectoryA(LPCSTR path)
{
    return path != nullptr && chdir(path) == 0 ? TRUE : FALSE;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size)
{
    if (module != nullptr || fileName == nullptr || size == 0)
        return 0;
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return 0;
    // Like Windows: a path that does not fit is cut to the buffer, still terminated, and the
    // result is the buffer's size, so that the caller can tell it from a whole path.
    if (static_cast<size_t>(length) >= size) {
        std::memcpy(fileName, path, size - 1);
        fileName[size - 1] = '\0';
        return size;
    }
    std::memcpy(fileName, path, static_cast<size_t>(length));
    fileName[length] = '\0';
    return static_cast<DWORD>(length);
}

int lstrcmpiA(LPCSTR first, LPCSTR second)
{
    return strcasecmp(first, second);
}
