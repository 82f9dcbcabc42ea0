#include "ConfigFile.h"

#include <cstdio>
#include <memory>
#include <sstream>
#include <vector>

#include "lumetra.h"

namespace {

constexpr std::streamsize lineBufferSize = 65535;  // 65534 characters and the terminator
const char separator = '=';
// Its value may hold "=" (URLs with queries, pipelines with caps): it runs to the end of the line.
const char* const wholeLineKey = "deviceSource";

// The file as text mode delivers it: CR LF becomes LF. Unreadable (missing, a directory): false.
bool readTextFile(const char* fileName, std::string& text)
{
    std::FILE* file = std::fopen(fileName, "rb");
    if (file == nullptr)
        return false;
    std::string raw;
    char chunk[16384];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        raw.append(chunk, got);
    const bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed)
        return false;
    text.clear();
    text.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
            continue;
        text.push_back(raw[i]);
    }
    return true;
}

// strtok's rule: skip a run of separators, then take up to the next one (cut to NUL) or the end.
char* nextToken(char*& cursor)
{
    while (*cursor == separator)
        ++cursor;
    if (*cursor == '\0')
        return nullptr;
    char* token = cursor;
    while (*cursor != '\0' && *cursor != separator)
        ++cursor;
    if (*cursor == separator)
        *cursor++ = '\0';
    return token;
}

}  // namespace

ConfigFile::ConfigFile(const char* fileName) : fileName(fileName)
{
    std::string text;
    if (!readTextFile(this->fileName, text))
        return;
    std::istringstream in(text);
    std::vector<char> line(lineBufferSize);
    while (in.good()) {
        in.getline(line.data(), lineBufferSize);
        char* cursor = line.data();
        const char* key = nextToken(cursor);
        if (key == nullptr)
            throw ErrorText("ConfigFile: parsing error!");
        const char* value;
        if (std::string(key) == wholeLineKey) {
            while (*cursor == separator)
                ++cursor;
            value = *cursor != '\0' ? cursor : nullptr;
        } else {
            value = nextToken(cursor);
        }
        if (value == nullptr)
            throw ErrorText("ConfigFile: parsing error!");
        entries[key] = value;
    }
}

std::string ConfigFile::get(const std::string& key)
{
    return text(key);
}

const std::string& ConfigFile::text(const std::string& key)
{
    return entries.emplace(key, std::string()).first->second;
}

void ConfigFile::set(const std::string& key, const std::string& value)
{
    entries[key] = value;
}
