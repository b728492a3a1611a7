// Stand-in for the agent's thread library: the identity of the calling thread.
#pragma once

// Equal for calls from one thread, different between threads (the kernel's thread id).
long zythread_get_main_thread_pid();
