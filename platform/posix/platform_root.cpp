#include "platform_root.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::string rootFolder()
{
    const char* root = std::getenv("LUMETRA_PLATFORM_ROOT");
    std::string folder = root != nullptr ? root : "";
    while (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    return folder;
}

bool isMachineRoot()
{
    return rootFolder().empty();
}

std::string underRoot(const std::string& absolutePath)
{
    return rootFolder() + absolutePath;
}

int makeFolders(const std::string& path)
{
    if (path.empty())
        return 0;
    struct stat info;
    if (stat(path.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        const int parentError = makeFolders(path.substr(0, slash));
        if (parentError != 0)
            return parentError;
    }
    if (mkdir(path.c_str(), 0755) != 0)
        return errno == EEXIST ? 0 : errno;
    // The umask must not make the store private or writable by others.
    chmod(path.c_str(), 0755);
    return 0;
}

int writeFileAtomically(const std::string& path, const std::string& bytes, unsigned mode)
{
    static std::atomic<unsigned> serial{0};
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string partial = folder + "/.~" + name + "." + std::to_string(getpid()) + "." +
                                std::to_string(serial++) + ".tmp";

    const int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    int error = 0;
    size_t written = 0;
    while (error == 0 && written < bytes.size()) {
        const ssize_t result = write(fd, bytes.data() + written, bytes.size() - written);
        if (result < 0 && errno != EINTR)
            error = errno;
        else if (result > 0)
            written += static_cast<size_t>(result);
    }
    if (error == 0 && fchmod(fd, mode) != 0)
        error = errno;
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(partial.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0)
        unlink(partial.c_str());
    return error;
}

int readWholeFile(const std::string& path, std::string& bytes)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    bytes.clear();
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            close(fd);
            return error;
        }
        if (got == 0)
            break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    return 0;
}

}  // namespace platform
