// The registry as a folder tree below <root>/var/lib/lumetra-registry: a folder per key (the
// predefined key HKEY_LOCAL_MACHINE is the folder of that name), a file per value holding the
// value's type as a decimal number and a line feed, then the value's bytes. Folders are created
// 0755 and files 0644, so only root changes the machine-wide store while every user may read it.
#include "../registry.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform_root.h"

struct RegistryKey {
    std::string folder;
};

#define ERROR_BADDB 1009L

namespace {

const uintptr_t localMachineId = 0x80000002u;

std::string storeFolder()
{
    return platform::underRoot("/var/lib/lumetra-registry");
}

LONG errorFor(int error)
{
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    default: return ERROR_BADDB;
    }
}

bool isPredefined(HKEY key)
{
    return reinterpret_cast<uintptr_t>(key) == localMachineId;
}

bool folderOf(HKEY key, std::string& folder)
{
    if (key == nullptr)
        return false;
    if (isPredefined(key)) {
        folder = storeFolder() + "/HKEY_LOCAL_MACHINE";
        return true;
    }
    folder = key->folder;
    return true;
}

// A name the folder tree can hold as one entry.
bool isPlainName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.compare(0, 2, ".~") != 0;
}

bool splitKeyPath(LPCSTR subKey, std::vector<std::string>& names)
{
    names.clear();
    if (subKey == nullptr)
        return true;
    std::string current;
    for (const char* c = subKey;; ++c) {
        if (*c == '\\' || *c == '\0') {
            if (!current.empty()) {
                if (!isPlainName(current))
                    return false;
                names.push_back(current);
            }
            current.clear();
            if (*c == '\0')
                return true;
        } else {
            current.push_back(*c);
        }
    }
}

// The entry of the folder that matches the name without regard to letter case: 0 or an errno value.
int findEntry(const std::string& folder, const std::string& name, bool wantFolder, std::string& found)
{
    struct stat info;
    const std::string exact = folder + "/" + name;
    if (stat(exact.c_str(), &info) == 0 && (S_ISDIR(info.st_mode) != 0) == wantFolder) {
        found = exact;
        return 0;
    }
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr)
        return errno;
    int error = ENOENT;
    while (const dirent* entry = readdir(listing)) {
        if (strcasecmp(entry->d_name, name.c_str()) != 0)
            continue;
        const std::string candidate = folder + "/" + entry->d_name;
        if (stat(candidate.c_str(), &info) == 0 && (S_ISDIR(info.st_mode) != 0) == wantFolder) {
            found = candidate;
            error = 0;
            break;
        }
    }
    closedir(listing);
    return error;
}

int openFolder(const std::string& base, const std::vector<std::string>& names, bool create, std::string& folder)
{
    folder = base;
    if (create) {
        const int error = platform::makeFolders(base);
        if (error != 0)
            return error;
    } else {
        struct stat info;
        if (stat(base.c_str(), &info) != 0)
            return errno;
        if (!S_ISDIR(info.st_mode))
            return ENOTDIR;
    }
    for (const std::string& name : names) {
        std::string next;
        int error = findEntry(folder, name, true, next);
        if (error == ENOENT && create) {
            next = folder + "/" + name;
            if (mkdir(next.c_str(), 0755) == 0)
                chmod(next.c_str(), 0755);
            else if (errno != EEXIST)
                return errno;
            error = 0;
        }
        if (error != 0)
            return error;
        folder = next;
    }
    // Opening needs the right to look inside, as a key opened for reading does.
    return access(folder.c_str(), X_OK) == 0 ? 0 : errno;
}

LONG openKey(HKEY key, LPCSTR subKey, PHKEY result, bool create)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::string base;
    if (!folderOf(key, base))
        return ERROR_INVALID_HANDLE;
    std::vector<std::string> names;
    if (!splitKeyPath(subKey, names))
        return ERROR_INVALID_PARAMETER;
    std::string folder;
    const int error = openFolder(base, names, create, folder);
    if (error != 0)
        return errorFor(error);
    *result = new RegistryKey{folder};
    return ERROR_SUCCESS;
}

}  // namespace

LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result)
{
    return openKey(key, subKey, result, false);
}

LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result)
{
    return openKey(key, subKey, result, true);
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    std::string folder;
    if (!folderOf(key, folder))
        return ERROR_INVALID_HANDLE;
    // Named values only: the unnamed default value is not kept by this store.
    if (reserved != 0 || valueName == nullptr || !isPlainName(valueName) || (data == nullptr && size != 0))
        return ERROR_INVALID_PARAMETER;
    std::string path;
    const int lookup = findEntry(folder, valueName, false, path);
    if (lookup == ENOENT)
        path = folder + "/" + valueName;
    else if (lookup != 0)
        return errorFor(lookup);
    std::string bytes = std::to_string(type) + "\n";
    if (size != 0)
        bytes.append(reinterpret_cast<const char*>(data), size);
    return errorFor(platform::writeFileAtomically(path, bytes, 0644));
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    std::string folder;
    if (!folderOf(key, folder))
        return ERROR_INVALID_HANDLE;
    if (reserved != nullptr || (data != nullptr && size == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (valueName == nullptr || !isPlainName(valueName))
        return ERROR_FILE_NOT_FOUND;
    std::string path;
    int error = findEntry(folder, valueName, false, path);
    std::string bytes;
    if (error == 0)
        error = platform::readWholeFile(path, bytes);
    if (error != 0)
        return errorFor(error);

    const size_t lineEnd = bytes.find('\n');
    if (lineEnd == std::string::npos || lineEnd == 0 || lineEnd > 10 ||
        bytes.find_first_not_of("0123456789") < lineEnd)
        return ERROR_BADDB;
    const unsigned long storedType = std::stoul(bytes.substr(0, lineEnd));
    if (storedType > 0xFFFFFFFFul)
        return ERROR_BADDB;
    const size_t length = bytes.size() - lineEnd - 1;
    if (length > 0xFFFFFFFFu)
        return ERROR_BADDB;

    if (type != nullptr)
        *type = static_cast<DWORD>(storedType);
    if (size == nullptr)
        return ERROR_SUCCESS;
    const DWORD room = *size;
    *size = static_cast<DWORD>(length);
    if (data == nullptr)
        return ERROR_SUCCESS;
    if (length > room)
        return ERROR_MORE_DATA;
    std::memcpy(data, bytes.data() + lineEnd + 1, length);
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey)
{
    std::string base;
    if (!folderOf(key, base))
        return ERROR_INVALID_HANDLE;
    std::vector<std::string> names;
    if (!splitKeyPath(subKey, names) || names.empty())
        return ERROR_INVALID_PARAMETER;
    std::string folder;
    int error = openFolder(base, names, false, folder);
    if (error != 0)
        return errorFor(error);

    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr)
        return errorFor(errno);
    std::vector<std::string> values;
    bool hasSubkeys = false;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat info;
        if (lstat((folder + "/" + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            hasSubkeys = true;
        else
            values.push_back(name);
    }
    closedir(listing);
    if (hasSubkeys)
        return ERROR_ACCESS_DENIED;  // as the registry answers for a key with subkeys

    // Moved aside first, so that a reader finds the key whole or not at all.
    const size_t slash = folder.find_last_of('/');
    const std::string aside = folder.substr(0, slash) + "/.~deleted." + folder.substr(slash + 1) + "." +
                              std::to_string(getpid());
    if (rename(folder.c_str(), aside.c_str()) != 0)
        return errorFor(errno);
    for (const std::string& name : values)
        unlink((aside + "/" + name).c_str());
    rmdir(aside.c_str());
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    if (!isPredefined(key))
        delete key;
    return ERROR_SUCCESS;
}
