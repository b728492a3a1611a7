#include "agent/ZyThread.h"

#include <sys/syscall.h>
#include <unistd.h>

long zythread_get_main_thread_pid() { return static_cast<long>(::syscall(SYS_gettid)); }
