// The replay driver: feeds every file named on the command line, or every file of every folder
// named there, to the target, once each, in name order. Built with the ordinary compiler and
// sanitizers, it turns a fuzz corpus into regression cases without libFuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool CollectInputs(const std::string& path, std::vector<std::string>& inputs) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "replay: cannot find %s\n", path.c_str());
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        inputs.push_back(path);
        return true;
    }
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        std::fprintf(stderr, "replay: cannot list %s\n", path.c_str());
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || name[0] == '.') continue;
        names.push_back(path + "/" + name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        if (::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) inputs.push_back(name);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i)
        if (!CollectInputs(argv[i], inputs)) return 2;
    // An empty corpus would pass without testing anything.
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no inputs\n");
        return 2;
    }
    for (const std::string& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad()) {
            std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
            return 2;
        }
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", input.c_str(), bytes.size());
        // A copy of exactly the input's size, so that a read past its end is seen by AddressSanitizer.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() ? bytes.size() : 1]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        LLVMFuzzerTestOneInput(exact.get(), bytes.size());
    }
    std::printf("replay: %zu inputs\n", inputs.size());
    return 0;
}
