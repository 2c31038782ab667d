#pragma once

#include <sys/types.h>

namespace corvel::test {

// What a running process holds, read from /proc: open descriptors, and resident memory in KiB
// (-1 when it can't be read).
int openDescriptors(pid_t pid);
long residentKiB(pid_t pid);

}  // namespace corvel::test
