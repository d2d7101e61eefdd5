// Replays every file of a corpus directory through a libFuzzer entry point,
// so that past fuzz finds are checked on every test run, with any compiler.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    DIR *dir = opendir(argv[1]);
    if (dir == nullptr) {
        fprintf(stderr, "cannot open corpus %s\n", argv[1]);
        return 1;
    }
    int count = 0;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        std::string path = std::string(argv[1]) + "/" + e->d_name;
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++count;
    }
    closedir(dir);
    printf("replayed %d inputs from %s\n", count, argv[1]);
    return count > 0 ? 0 : 1;
}
