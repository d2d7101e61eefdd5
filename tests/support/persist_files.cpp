#include "support/persist_files.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "config/config_prefix.h"

namespace fs = std::filesystem;

TempDir::TempDir()
{
    char tmpl[] = "/tmp/spk_XXXXXX";
    const char *made = mkdtemp(tmpl);
    path_ = made != nullptr ? made : "/tmp/spk_mkdtemp_failed";
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

bool FileExists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::string ReadFileText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
}

void WriteFileText(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> ListDir(const std::string &path)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
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
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(root.Path(), ec)) {
        fs::remove_all(entry.path(), ec);
    }
    fs::create_directory(root.Join("config"), ec);
    fs::create_directory(root.Join("userconfig_bak"), ec);
    return root.Path();
}
