// Small file helpers for the persistence tests: a private temporary
// directory removed with everything in it, whole-file read and write, and
// directory listings.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

class TempDir {
public:
    TempDir();  // creates /tmp/spk_XXXXXX
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &Path() const { return path_; }
    std::string Join(const std::string &rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// The install prefix of this test process, set once (every SetConfigPrefix
// keeps its earlier copy alive): each call empties it and gives it fresh
// "config" and "userconfig_bak" directories. Returns its path.
std::string ResetTestPrefix();

bool FileExists(const std::string &path);
// Contents of the file, or "<missing>" when it cannot be read.
std::string ReadFileText(const std::string &path);
void WriteFileText(const std::string &path, const std::string &text);
// Names in the directory (without "." and ".."), sorted.
std::vector<std::string> ListDir(const std::string &path);
// stat of the file; st_mode 0 when missing.
struct stat StatFile(const std::string &path);
