// Where the POSIX platform layer keeps machine-wide state: the registry store, service units and
// the reports of running services. LUMETRA_PLATFORM_ROOT moves all of it below another folder,
// the way an emulator's prefix does, so tests never touch the machine's own /etc or /var.
#pragma once

#include <string>

namespace platform {

// The folder standing for "/": empty for the machine's own root.
std::string rootFolder();
bool isMachineRoot();
// An absolute path of the machine as seen below the root.
std::string underRoot(const std::string& absolutePath);

// Creates the folder and its missing parents (mode 0755 whatever the umask); 0 or an errno value.
int makeFolders(const std::string& path);
// Replaces the file in one step (a temporary file beside it, then rename); 0 or an errno value.
int writeFileAtomically(const std::string& path, const std::string& bytes, unsigned mode);
// 0 or an errno value.
int readWholeFile(const std::string& path, std::string& bytes);

}  // namespace platform
