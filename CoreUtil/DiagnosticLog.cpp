#include "DiagnosticLog.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "RhFileUtils.h"
#include "RhPath.h"
#include "RhTime.h"
#include "Stopwatch.h"

std::atomic<bool> DiagnosticLog::sInitialized(false);
std::atomic<bool> DiagnosticLog::sEndUserHasEnablingFile(false);
std::atomic<bool> DiagnosticLog::sActive(true);
const char* DiagnosticLog::sDefaultLogFileName = "QuilloranticsLogFile";
RhString* DiagnosticLog::sFullPathOfLogFile = nullptr;
FILE* DiagnosticLog::sLogFile = nullptr;
Stopwatch* DiagnosticLog::sStopwatch = nullptr;
std::atomic<int64_t> DiagnosticLog::sPreviousTimeStamp(0);
bool DiagnosticLog::sPerformanceTestHasBeenDone = false;

namespace {

// Both mutexes are trivially destructible, so logging keeps working while
// other statics are destroyed at exit (the thread pool's teardown logs).
std::recursive_mutex sInitMutex;
std::mutex sWriteMutex;
// Set once the first initialize() has finished; the fast path of every later
// call. (sInitialized is set at its start, so that the events the first call
// writes itself do not start it again.)
std::atomic<bool> sDecisionMade(false);

const size_t kTextBytes = 1024;  // formatted event text, terminator included

// Hands one complete line to the log stream.
void writeLine(const char* line, size_t length) {
    std::lock_guard<std::mutex> guard(sWriteMutex);
    if (!DiagnosticLog::sLogFile) return;
    fwrite(line, 1, length, DiagnosticLog::sLogFile);
    fflush(DiagnosticLog::sLogFile);
}

void centralFolder(RhPath* folder) { folder->centralLocation(DiagnosticLog::kCentralFolderName, 1); }

}  // namespace

bool DiagnosticLog::initialize(const char* logFileName) {
    if (sDecisionMade.load()) return sEndUserHasEnablingFile.load();
    std::lock_guard<std::recursive_mutex> guard(sInitMutex);
    if (sInitialized.load()) return sEndUserHasEnablingFile.load();
    sInitialized = true;
    sEndUserHasEnablingFile = false;

    if (!sStopwatch) sStopwatch = new Stopwatch;
    sPreviousTimeStamp = sStopwatch->getElapseduSecExact();

    RhPath folder;
    centralFolder(&folder);
    RhPath marker;
    folder.addTail(&marker, kMarkerFileName);
    struct stat info;
    if (stat(marker.getText(), &info) != 0) {
        sDecisionMade = true;
        return false;
    }

    RhPath logPath;
    folder.addTail(&logPath, logFileName ? logFileName : sDefaultLogFileName);
    logPath.append(".txt");
    if (!sFullPathOfLogFile) sFullPathOfLogFile = new RhString;
    sFullPathOfLogFile->copyFrom(logPath.getText());
    FILE* file = RhUtils::fopenUnicodeSafe(logPath.getText(), "a+");
    if (!file) {
        sDecisionMade = true;
        return false;
    }
    {
        std::lock_guard<std::mutex> writeGuard(sWriteMutex);
        sLogFile = file;
    }
    sEndUserHasEnablingFile = true;

    RhString now;
    RhTime::getFormattedDayAndTime(&now, 1);
    char header[256];
    int length = snprintf(header, sizeof header, "\n\n ==========  %s ===================== \n\n", now.getText());
    if (length > 0) writeLine(header, static_cast<size_t>(length) < sizeof header ? length : sizeof header - 1);

    if (!sPerformanceTestHasBeenDone) performSpeedTest();
    sDecisionMade = true;
    return true;
}

void DiagnosticLog::addEventToLog(const char* format, ...) {
    if (!initialize(sDefaultLogFileName) || !sActive.load()) return;

    char text[kTextBytes];
    text[0] = '\0';
    if (format) {
        va_list args;
        va_start(args, format);
        if (vsnprintf(text, sizeof text, format, args) < 0) text[0] = '\0';
        va_end(args);
    }

    int64_t now = sStopwatch->getElapseduSecExact();
    int64_t delta = now - sPreviousTimeStamp.exchange(now);

    char line[kTextBytes + 128];
    int length = snprintf(line, sizeof line, "%s / %s usec - %s\n", SoundUtils::formatIntegerWithCommas(delta),
                          SoundUtils::formatIntegerWithCommas(now), text);
    if (length <= 0) return;
    size_t size = static_cast<size_t>(length) < sizeof line ? static_cast<size_t>(length) : sizeof line - 1;
    writeLine(line, size);
}

void DiagnosticLog::clearLog() {
    if (!sEndUserHasEnablingFile.load() || !sFullPathOfLogFile) return;
    std::lock_guard<std::mutex> guard(sWriteMutex);
    if (sLogFile) fclose(sLogFile);
    sLogFile = nullptr;
    const char* path = sFullPathOfLogFile->getText();
    if (FILE* truncated = RhUtils::fopenUnicodeSafe(path, "w")) fclose(truncated);
    sLogFile = RhUtils::fopenUnicodeSafe(path, "a+");
    if (!sLogFile) sEndUserHasEnablingFile = false;
}

void DiagnosticLog::setLogFileName(const char* name) {
    if (name) initialize(name);
}

void DiagnosticLog::performSpeedTest() {
    sPerformanceTestHasBeenDone = true;
    addEventToLog("\n\n --- Begin computer performance test -------");

    RhPath scratch;
    scratch.tempDir("acewpxppDummyTestFile");
    RhPath missing;
    missing.tempDir("a25lkcNonExistentTestFile");
    char block[1024];
    memset(block, 0, sizeof block);

    FILE* file = RhUtils::fopenUnicodeSafe(scratch.getText(), "w");
    bool created = file != nullptr;
    if (!created) {
        addEventToLog("Cannot create dummy file %s ", scratch.getText());
    } else {
        addEventToLog("After file creation;");
        fwrite(block, 1, sizeof block, file);
        addEventToLog("After write");
        fclose(file);
    }

    for (int cycle = 0; cycle < 10; ++cycle) {
        addEventToLog("Before malloc");
        volatile char* memory = static_cast<volatile char*>(malloc(1 << 20));
        if (memory) memory[0] = 1;
        addEventToLog("After malloc");
        free(const_cast<char*>(memory));
        addEventToLog("After free");

        FILE* input = RhUtils::fopenUnicodeSafe(scratch.getText(), "r");
        if (input) {
            addEventToLog("After open (for read) an existing file ");
            size_t got = fread(block, 1, sizeof block, input);
            (void)got;
            addEventToLog("After read");
            fclose(input);
            addEventToLog("After close");
            struct stat info;
            stat(scratch.getText(), &info);
            addEventToLog("After stat");
        } else {
            addEventToLog("Cannot perform disk IO test: file %s cannot be opened", scratch.getText());
        }

        FILE* absent = RhUtils::fopenUnicodeSafe(missing.getText(), "r");
        if (absent) fclose(absent);
        addEventToLog("After fopen on non-existent file");
        unlink(missing.getText());
        addEventToLog("After close and unlink on non-existent file");
    }

    if (created) unlink(scratch.getText());
    addEventToLog("\n\n --- End computer performance test -------");
}

const char* SoundUtils::formatIntegerWithCommas(long long value) {
    thread_local char buffers[4][128];
    thread_local int next = 0;
    char* out = buffers[next];
    next = (next + 1) % 4;

    unsigned long long magnitude =
        value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    // Groups of three digits, least significant first.
    int groups[8];
    int n = 0;
    do {
        groups[n++] = static_cast<int>(magnitude % 1000);
        magnitude /= 1000;
    } while (magnitude > 0 && n < 8);

    int pos = snprintf(out, 128, "%s%d", value < 0 ? "-" : "", groups[n - 1]);
    for (int i = n - 2; i >= 0; --i) pos += snprintf(out + pos, 128 - static_cast<size_t>(pos), ",%03d", groups[i]);
    return out;
}
