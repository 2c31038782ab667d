#pragma once

#include <cstddef>
#include <string>

namespace corvel::diagnostics {

// UTC date and time from Unix seconds by arithmetic alone, so that a crash handler may use it.
struct CivilTime {
  int year, month, day, hour, minute, second;

  static CivilTime fromUnixSeconds(long long seconds);
  // Writes "YYYY-MM-DDTHH:MM:SSZ" (20 characters) into `out`, which has room for 21 with the
  // terminating zero. Async-signal-safe.
  static void format(long long seconds, char (&out)[21]);
  static std::string iso8601(long long seconds);
};

}  // namespace corvel::diagnostics
