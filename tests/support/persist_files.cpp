#include "support/persist_files.h"

#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "config/config_prefix.h"

namespace {

int RemoveEntry(const char *path, const struct stat *, int, FTW *) { return ::remove(path); }

int RemoveBelowRoot(const char *path, const struct stat *, int, FTW *ftw)
{
    return ftw->level == 0 ? 0 : ::remove(path);
}

}  // namespace

TempDir::TempDir()
{
    char tmpl[] = "/tmp/spk_XXXXXX";
    const char *made = mkdtemp(tmpl);
    path_ = made != nullptr ? made : "/tmp/spk_mkdtemp_failed";
}

TempDir::~TempDir() { (void)nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

bool FileExists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::string ReadFileText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "<missing>";
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileText(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void MakeDir(const std::string &path) { (void)mkdir(path.c_str(), 0750); }

std::vector<std::string> ListDir(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent *e = readdir(dir)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") {
            names.push_back(n);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

struct stat StatFile(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        st.st_mode = 0;
    }
    return st;
}

std::string ResetTestPrefix()
{
    static TempDir root;
    static bool prefixSet = SetConfigPrefix(root.Path().c_str()) == 0;
    if (!prefixSet) {
        abort();
    }
    (void)nftw(root.Path().c_str(), RemoveBelowRoot, 16, FTW_DEPTH | FTW_PHYS);
    MakeDir(root.Join("config"));
    MakeDir(root.Join("userconfig_bak"));
    return root.Path();
}
