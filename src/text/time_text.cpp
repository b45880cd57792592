#include "text/time_text.h"

#include <cstdio>

namespace p11agent {

namespace {

constexpr std::int64_t DAY = 86400;

// Days since 1970-01-01 of a day of the proleptic Gregorian calendar, and back (the
// well-known era arithmetic: 400-year eras of 146097 days, years from March).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

struct CivilDay {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

CivilDay civil_from_days(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  return {static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2), month, day};
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

bool is_leap(std::int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

unsigned days_in_month(std::int64_t year, unsigned month) {
  constexpr unsigned DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : DAYS[month - 1];
}

// `count` decimal digits at `at`; nullopt when any is not a digit.
std::optional<unsigned> digits(std::string_view text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return std::nullopt;
  unsigned value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return value;
}

bool separator_at(std::string_view text, std::size_t at, char separator) {
  return at < text.size() && text[at] == separator;
}

}  // namespace

UnixTime unix_time(std::int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
  return days_from_civil(year, month, day) * DAY + hour * 3600 + minute * 60 + second;
}

std::string rfc3339_utc(UnixTime time) {
  const std::int64_t days = floor_div(time, DAY);
  const auto seconds = static_cast<unsigned>(time - days * DAY);
  const CivilDay civil = civil_from_days(days);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(civil.year), civil.month,
                civil.day, seconds / 3600, seconds / 60 % 60, seconds % 60);
  return text;
}

std::string day_utc(UnixTime time) {
  std::string text = rfc3339_utc(time);
  return text.substr(0, text.find('T'));
}

std::optional<UnixTime> parse_rfc3339(std::string_view text) {
  // full-date "T" partial-time time-offset: YYYY-MM-DDTHH:MM:SS[.frac](Z|+HH:MM|-HH:MM)
  const auto year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
  const auto hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (!separator_at(text, 4, '-') || !separator_at(text, 7, '-') || !separator_at(text, 13, ':') ||
      !separator_at(text, 16, ':') || (text[10] != 'T' && text[10] != 't'))
    return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > days_in_month(*year, *month) || *hour > 23 || *minute > 59 ||
      *second > 60)
    return std::nullopt;
  std::size_t at = 19;
  if (separator_at(text, at, '.')) {
    const std::size_t first = ++at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == first) return std::nullopt;
  }
  std::int64_t offset = 0;
  if (at + 1 == text.size() && (text[at] == 'Z' || text[at] == 'z')) {
    // UTC
  } else if (at + 6 == text.size() && (text[at] == '+' || text[at] == '-') && separator_at(text, at + 3, ':')) {
    const auto offset_hours = digits(text, at + 1, 2), offset_minutes = digits(text, at + 4, 2);
    if (!offset_hours || !offset_minutes || *offset_hours > 23 || *offset_minutes > 59) return std::nullopt;
    offset = (*offset_hours * 3600 + *offset_minutes * 60) * (text[at] == '-' ? -1 : 1);
  } else {
    return std::nullopt;
  }
  // A leap second counts as the second after it.
  return unix_time(*year, *month, *day, *hour, *minute, *second) - offset;
}

}  // namespace p11agent
