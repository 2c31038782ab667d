#pragma once

#include <sys/types.h>

#include <string>

namespace corvel::test {

// What a running process holds and has used, read from /proc: open descriptors, and resident
// memory in KiB (-1 when it can't be read).
int openDescriptors(pid_t pid);
long residentKiB(pid_t pid);
// The CPU time a process used so far, user and system, all its threads (live and ended), in
// seconds; 0 when it can't be read.
double cpuSeconds(pid_t pid);
// The CPU time the whole machine has spent busy so far, all CPUs together, in seconds.
double machineBusySeconds();
// The one-minute load average; 0 when it can't be read.
double loadAverage();
// The pid of the Xvfb serving `display` (":N"), found by its command line; 0 when none is.
pid_t xServerPid(const std::string& display);

}  // namespace corvel::test
