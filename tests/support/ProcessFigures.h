#pragma once

#include <sys/types.h>

namespace corvel::test {

// What a running process holds and has used, read from /proc: open descriptors, and resident
// memory in KiB (-1 when it can't be read).
int openDescriptors(pid_t pid);
long residentKiB(pid_t pid);
// The CPU time a process used so far, user and system, all its threads (live and ended), in
// seconds; 0 when it can't be read.
double cpuSeconds(pid_t pid);

}  // namespace corvel::test
