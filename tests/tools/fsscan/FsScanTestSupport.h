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

// Runs fsscan with the arguments (no shell involved). `unprivileged` runs it without the
// capabilities that override file permissions (see testsupport::DropFileAccessOverride).
// A run that takes longer than `timeoutSeconds` is ended by SIGALRM (exit code 128 + 14).
RunResult Fsscan(const std::vector<std::string>& args, bool unprivileged = false, unsigned timeoutSeconds = 300);
// "fsscan list -0" split at NUL.
std::set<std::string> List(const std::string& results);
// Every item below `root` as "list" would print it after a full scan: "+ path" and "+ dir/".
std::set<std::string> Expected(const std::string& root);
// Records the last scan of `results` as begun `micros` from now, so that the next incremental
// scan judges by time only what was touched to a later time (false when there is no last scan).
bool MoveLastScanStartAhead(const std::string& results, long long micros);

}  // namespace fsscantest
