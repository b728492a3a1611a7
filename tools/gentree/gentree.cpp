// scan-gentree: makes sample trees for the demo and the benchmarks, and changes them in a
// repeatable way between scans.
//
//   scan-gentree create DIR --folders N --files M [--seed S] [--weird]
//   scan-gentree touch DIR --percent P [--seed S]
//
// "create" spreads M files over N folders nested up to 12 levels deep; with --weird some names
// carry a line feed, "|", "%", a carriage return or bytes that are not UTF-8. "touch" rewrites P%
// of the files (new content, new modification time). Both are deterministic for a seed.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string command, dir;
    long folders = 100, files = 1000;
    double percent = 1.0;
    unsigned seed = 1;
    bool weird = false;
};

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: scan-gentree create DIR --folders N --files M [--seed S] [--weird]\n"
                 "       scan-gentree touch DIR --percent P [--seed S]\n");
    std::exit(2);
}

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "scan-gentree: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

Options Parse(int argc, char** argv) {
    if (argc < 3) Usage();
    Options o;
    o.command = argv[1];
    o.dir = argv[2];
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) Usage();
            return argv[++i];
        };
        if (a == "--folders") o.folders = std::atol(value());
        else if (a == "--files") o.files = std::atol(value());
        else if (a == "--percent") o.percent = std::atof(value());
        else if (a == "--seed") o.seed = static_cast<unsigned>(std::atol(value()));
        else if (a == "--weird") o.weird = true;
        else Usage();
    }
    if (o.command != "create" && o.command != "touch") Usage();
    return o;
}

std::string Name(std::mt19937& rng, const char* stem, long n, bool weird) {
    static const char* const kWeird[] = {"line\nfeed", "pipe|name", "per%cent", "cr\rname", "bad\xff\xfe utf8",
                                         "caf\xc3\xa9",  "sp ace",    "tab\tname", "%41"};
    std::string name = std::string(stem) + std::to_string(n);
    if (weird && rng() % 10 == 0) name += "_" + std::string(kWeird[rng() % (sizeof kWeird / sizeof *kWeird)]);
    return name;
}

void WriteFile(const std::string& path, size_t size, unsigned salt) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) Fail("open " + path);
    std::string content(size, 'a' + static_cast<char>(salt % 26));
    if (size && ::write(fd, content.data(), size) != static_cast<ssize_t>(size)) Fail("write " + path);
    ::close(fd);
}

int Create(const Options& o) {
    std::mt19937 rng(o.seed);
    if (::mkdir(o.dir.c_str(), 0755) != 0 && errno != EEXIST) Fail("mkdir " + o.dir);
    std::vector<std::string> folders{o.dir};
    std::vector<int> depth{0};
    for (long i = 0; i < o.folders; ++i) {
        // Prefer recent folders as parents so the tree gets deep, but stop at 12 levels.
        size_t parent = folders.size() - 1 - (rng() % std::min<size_t>(folders.size(), 40));
        for (int tries = 0; depth[parent] >= 12; ++tries) parent = tries < 8 ? rng() % folders.size() : 0;
        std::string path = folders[parent] + "/" + Name(rng, "d", i, o.weird);
        if (::mkdir(path.c_str(), 0755) != 0) Fail("mkdir " + path);
        folders.push_back(path);
        depth.push_back(depth[parent] + 1);
    }
    for (long i = 0; i < o.files; ++i) {
        const std::string& folder = folders[rng() % folders.size()];
        WriteFile(folder + "/" + Name(rng, "f", i, o.weird), rng() % 4096, static_cast<unsigned>(i));
    }
    std::printf("created %ld folders and %ld files in %s\n", o.folders, o.files, o.dir.c_str());
    return 0;
}

void ListFiles(const std::string& dir, std::vector<std::string>& out) {
    std::string command = "find '" + dir + "' -type f -print0";
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) Fail("popen find");
    std::string cur;
    for (int c; (c = std::fgetc(p)) != EOF;) {
        if (c == 0) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(c));
        }
    }
    ::pclose(p);
}

int Touch(const Options& o) {
    std::vector<std::string> files;
    ListFiles(o.dir, files);
    std::sort(files.begin(), files.end());
    std::mt19937 rng(o.seed);
    std::shuffle(files.begin(), files.end(), rng);
    size_t n = static_cast<size_t>(static_cast<double>(files.size()) * o.percent / 100.0 + 0.5);
    for (size_t i = 0; i < n && i < files.size(); ++i) WriteFile(files[i], 100 + rng() % 2000, static_cast<unsigned>(rng()));
    std::printf("touched %zu of %zu files\n", std::min(n, files.size()), files.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = Parse(argc, argv);
    return o.command == "create" ? Create(o) : Touch(o);
}
