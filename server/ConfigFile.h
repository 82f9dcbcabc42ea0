#pragma once

#include <map>
#include <string>

// The key=value configuration, read once from a text file.
class ConfigFile {
public:
    // Throws "ConfigFile: parsing error!" for a malformed line; a file that cannot be opened gives an empty table.
    explicit ConfigFile(const char* fileName);

    // A copy of the key's value; a missing key is added with empty text.
    std::string get(const std::string& key);
    // The stored value text itself, added empty when missing; valid while the entry lives unchanged.
    const std::string& text(const std::string& key);
    void set(const std::string& key, const std::string& value);

private:
    const char* fileName;
    std::map<std::string, std::string> entries;
};
