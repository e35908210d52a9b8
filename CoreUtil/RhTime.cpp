#include "RhTime.h"

#include <ctime>
#include <sys/time.h>

namespace {

struct tm localNow(long* microseconds) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    time_t seconds = now.tv_sec;
    struct tm local = {};
    localtime_r(&seconds, &local);
    if (microseconds) *microseconds = static_cast<long>(now.tv_usec);
    return local;
}

}  // namespace

void RhTime::getFormattedDayAndTime(RhString* text, int withTime) {
    if (!text) return;
    long microseconds = 0;
    struct tm local = localNow(&microseconds);
    char day[64];
    if (withTime) {
        strftime(day, sizeof day, "%Y-%m-%d %H:%M:%S", &local);
        text->appendFormatted("%s.%03ld", day, microseconds / 1000);
    } else {
        strftime(day, sizeof day, "%Y-%m-%d", &local);
        text->append(day);
    }
}

int RhTime::currentMonth() { return localNow(nullptr).tm_mon; }

bool RhTime::isBefore(int month, int year) {
    struct tm local = localNow(nullptr);
    int localYear = local.tm_year + 1900;
    return localYear < year || (localYear == year && local.tm_mon < month);
}
