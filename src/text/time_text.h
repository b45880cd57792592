#pragma once
// Times as the answers write them and requests give them: RFC 3339, in UTC.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace p11agent {

// Seconds since 1970-01-01T00:00:00Z; negative before it.
using UnixTime = std::int64_t;

// "2026-12-08T18:18:48Z".
std::string rfc3339_utc(UnixTime time);

// "2026-12-08", the day in UTC.
std::string day_utc(UnixTime time);

// An RFC 3339 date-time ("2026-12-08T18:18:48Z", "2026-12-08t19:18:48.5+01:00"), to the
// second (fractions dropped); nullopt for anything else, a day or time out of range among it.
std::optional<UnixTime> parse_rfc3339(std::string_view text);

// The UTC moment of a calendar day and time, the calendar extended both ways.
UnixTime unix_time(std::int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second);

}  // namespace p11agent
