// DiagnosticLog: the opt-in trace file, one per process (all static).
//
// Silent unless the user has placed the marker file "DiagnosticsEnabled.txt"
// in the central folder (RhPath::centralLocation("Quillorantics", 1)). Then
// every event is appended to "<central folder>/<log name>.txt" as one line
//   "<usec since previous event> / <usec since the log was opened> usec - <text>\n"
// with both numbers grouped by commas, and a short file-system performance
// test is written when the log is opened. The decision is taken once, at the
// first event, and holds for the life of the process.
//
// Locking rules:
//   sInitMutex (recursive) serialises the first initialize(); the decision
//   is published through the atomics sInitialized / sEndUserHasEnablingFile,
//   so later callers only test flags.
//   sWriteMutex guards sLogFile: each line is formatted in the caller's own
//   storage and handed to the stream in one write and a flush under it, so
//   lines from different threads never interleave, and clearLog cannot close
//   the stream under a writer. Nothing else is taken while it is held.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "RhString.h"

class Stopwatch;

class DiagnosticLog {
public:
    // The first call decides whether logging is enabled (marker present and
    // log file opened) and, when it is, writes the header and the
    // performance test. Later calls only return the decision. True when
    // logging is enabled. Thread-safe.
    static bool initialize(const char* logFileName);
    // When logging is enabled (and sActive), formats the printf-style text
    // (cut to 1023 characters; null format: empty text) and appends one event
    // line. Otherwise does nothing. Calls initialize(sDefaultLogFileName)
    // first.
    static void addEventToLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // When enabled: empties the log file and reopens it for appending; when
    // the reopen fails, logging becomes disabled.
    static void clearLog();
    // Null: nothing. Otherwise initialize(name): the name is used only when
    // this comes before any other logging call.
    static void setLogFileName(const char* name);
    // Writes the file-system performance test into the log (from initialize,
    // once per process).
    static void performSpeedTest();

    static std::atomic<bool> sInitialized;
    static std::atomic<bool> sEndUserHasEnablingFile;
    static std::atomic<bool> sActive;
    static const char* sDefaultLogFileName;
    static RhString* sFullPathOfLogFile;
    static FILE* sLogFile;
    static Stopwatch* sStopwatch;
    // Elapsed microseconds at the previous event (64-bit, so that the counts
    // stay exact for the life of the process).
    static std::atomic<int64_t> sPreviousTimeStamp;
    static bool sPerformanceTestHasBeenDone;

    // The folder name under the application-support folder and the marker.
    static constexpr const char* kCentralFolderName = "Quillorantics";
    static constexpr const char* kMarkerFileName = "DiagnosticsEnabled.txt";
};

class SoundUtils {
public:
    // The decimal text of value with commas between groups of three digits
    // ("1,234,567"; below 1000 without a comma; negative values get a leading
    // "-"). The text lives in one of four rotating static buffers, so up to
    // four results may be used at once (per thread).
    static const char* formatIntegerWithCommas(long long value);
};
