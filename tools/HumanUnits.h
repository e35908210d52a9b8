// Sizes and durations as people read them: "512 B", "4.0 KiB", "1.5 GiB";
// "45 s", "12 min 05 s", "3 h 20 min".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tool {

inline std::string humanBytes(uint64_t bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 6) {
        value /= 1024.0;
        unit++;
    }
    char text[32];
    snprintf(text, sizeof text, value < 10.0 ? "%.2f %s" : value < 100.0 ? "%.1f %s" : "%.0f %s", value,
             kUnits[unit]);
    return text;
}

inline std::string humanDuration(int64_t seconds) {
    if (seconds < 0)
        seconds = 0;
    char text[48];
    if (seconds < 60)
        snprintf(text, sizeof text, "%lld s", static_cast<long long>(seconds));
    else if (seconds < 3600)
        snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(seconds / 60),
                 static_cast<long long>(seconds % 60));
    else if (seconds < 86400)
        snprintf(text, sizeof text, "%lld h %02lld min", static_cast<long long>(seconds / 3600),
                 static_cast<long long>(seconds / 60 % 60));
    else
        snprintf(text, sizeof text, "%lld d %lld h", static_cast<long long>(seconds / 86400),
                 static_cast<long long>(seconds / 3600 % 24));
    return text;
}

}  // namespace tool
