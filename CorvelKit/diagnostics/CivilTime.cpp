#include "CorvelKit/diagnostics/CivilTime.h"

namespace corvel::diagnostics {

CivilTime CivilTime::fromUnixSeconds(long long seconds) {
  long long days = seconds / 86400;
  long long rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days).
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long dayOfEra = days - era * 146097;
  const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long mp = (5 * dayOfYear + 2) / 153;
  const long long day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  return CivilTime{static_cast<int>(year), static_cast<int>(month), static_cast<int>(day),
                   static_cast<int>(rest / 3600), static_cast<int>(rest % 3600 / 60), static_cast<int>(rest % 60)};
}

void CivilTime::format(long long seconds, char (&out)[21]) {
  const auto t = fromUnixSeconds(seconds);
  auto put = [&out](int at, int value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
      out[at + i] = static_cast<char>('0' + value % 10);
      value /= 10;
    }
  };
  put(0, t.year < 0 ? 0 : t.year % 10000, 4);
  out[4] = '-';
  put(5, t.month, 2);
  out[7] = '-';
  put(8, t.day, 2);
  out[10] = 'T';
  put(11, t.hour, 2);
  out[13] = ':';
  put(14, t.minute, 2);
  out[16] = ':';
  put(17, t.second, 2);
  out[19] = 'Z';
  out[20] = '\0';
}

std::string CivilTime::iso8601(long long seconds) {
  char text[21];
  format(seconds, text);
  return text;
}

}  // namespace corvel::diagnostics
