// Runs the fsscan program as a user would, and reads what it printed.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace fsscantest {

struct RunResult {
    int exitCode = -1;
    std::string out, err;
};

// Runs fsscan with the arguments (no shell involved); `asUser` >= 0 runs it with that uid/gid.
RunResult Fsscan(const std::vector<std::string>& args, int asUser = -1);
// "fsscan list -0" split at NUL.
std::set<std::string> List(const std::string& results);
// Every item below `root` as "list" would print it after a full scan: "+ path" and "+ dir/".
std::set<std::string> Expected(const std::string& root);

}  // namespace fsscantest
