// RhTime: local date texts and calendar tests.
#pragma once

#include "RhString.h"

class RhTime {
public:
    // Appends the local date to text: withTime non-zero gives
    // "YYYY-MM-DD HH:MM:SS.mmm" (milliseconds of the current second), zero
    // gives "YYYY-MM-DD". Null text: nothing.
    static void getFormattedDayAndTime(RhString* text, int withTime);
    // The local month, 0 for January.
    static int currentMonth();
    // True when the local year is below year, or equal to it with the local
    // month (0 for January) below month.
    static bool isBefore(int month, int year);
};
