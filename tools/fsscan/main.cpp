// fsscan: runs scan jobs of the Scan library on real directory trees.
#include <cstdio>
#include <cstring>

#include "scan/Version.h"

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--version") == 0)) {
        std::printf("fsscan %s\n", ScanLibraryVersion());
        return 0;
    }
    std::fprintf(stderr, "fsscan: no commands are built yet\n");
    return 2;
}
