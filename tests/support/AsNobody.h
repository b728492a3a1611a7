// Runs a function with the file-system identity of "nobody" (uid and gid 65534), so that
// permission bits count even when the tests run as root. Only the thread that runs it (and the
// threads it starts, which inherit its identity) is affected: setfsuid is per thread, and leaving
// uid 0 drops the thread's capabilities that override permissions.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <thread>

namespace testsupport {

inline void RunAsNobody(const std::function<void()>& fn) {
    if (::geteuid() != 0) {
        fn();
        return;
    }
    std::thread t([&] {
        ::syscall(SYS_setfsgid, 65534);
        ::syscall(SYS_setfsuid, 65534);
        fn();
    });
    t.join();
}

}  // namespace testsupport
