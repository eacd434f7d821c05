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
//
// A date pattern holds at most one token of each group, matched without regard
// to case: day "DD"; year "YYYY" or, without it, "YY"; month "MM", or without
// it "MONTH" (full name), or without both "MON" (three-letter name). Every
// other character is copied. Failures give 0 and a negative code in *code
// (written only on failure, and only when code is not null).

// when as "<date> HH:MM:SS", or "HH:MM:SS" alone when the pattern renders an
// empty date, in local time (local non-zero) or UTC. Codes: -1 out null or
// capacity 0 (out untouched), -2 localtime failed, -3 gmtime failed,
// -4 format_date failed, -5 format_time failed, -6 the text does not fit
// capacity; out is empty after every failure but -1.
int FormatDateTime(std::int64_t when, const char* pattern, int local, char* out,
                   std::uint16_t capacity, int* code);

// The date (month 1..12, day 1..31, year 1970..2069) through pattern. Codes:
// -1 pattern null, -2 month, -3 day, -4 year out of range, -5 the pattern's
// length not below capacity (or out null, or an expansion that would not fit
// out or the 128-byte scratch text), -6 second "DD", -7 "YY" after "YYYY",
// -8 second "YY", -9 second "MM", -10 "MON" after "MM", -11 "MON" after
// "MONTH", -12 second "MON". After a failure out must not be used.
int format_date(unsigned month, unsigned day, unsigned year, const char* pattern, char* out,
                unsigned int capacity, int* code);

// "HH:MM:SS". Codes: -1 capacity 8 or less (or out null), -2 hour above 23,
// -3 minute above 59, -4 second above 59.
int format_time(unsigned hour, unsigned minute, unsigned second, char* out, unsigned int capacity,
                int* code);

// "Jan" to "Dec" for month 1 to 12, else null.
const char* MonthName(unsigned month);

}  // namespace upd
