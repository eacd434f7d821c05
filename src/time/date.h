// Dates and times: build time stamps parsed into comparable second counts, and
// dates and times rendered as text through a pattern.
#pragma once

#include <cstdint>

namespace upd {

// Parsing build time stamps "YYYY-MM-DD HH:MM:SS" (hyphens and colons optional).

// Converts a time stamp text to a second count (64 bits wide, so that stamps
// after January 2038 stay distinct). 1 with *seconds written, 0 on a malformed
// text (*seconds untouched).
int ConvertTimeStamp(const char* text, std::int64_t* seconds);

// Splits a date "YYYY-MM-DD" or "YYYYMMDD" into its fields and checks the day
// against the month's length. 1 with all three written, 0 with none written.
int ParseDate(const char* text, int* year, int* month, int* day);

// Splits a time "HH", "HH:MM", "HH:MM:SS" or "HH:MM:SSZ" (each colon optional)
// into its fields. 1 with all three written, 0 with none written.
int ParseTime(const char* text, int* hour, int* minute, int* second);

// Seconds from 1970-01-01 00:00:00 to the given moment, both read as local time
// (month counted from 1). Only compared with other results of this function.
std::int64_t UnixEpoch(int year, int month, int day, int hour, int minute, int second);

// Rendering dates and times through a pattern.

}  // namespace upd
