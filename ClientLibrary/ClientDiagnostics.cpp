// Inside the client library the diagnostic log and the diagnostic lines of
// the shared segment code go to the host's log callback (debug level):
// neither a trace file nor standard output belongs to the library there.
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "DiagnosticLog.h"
#include "SampleFileClientLog.h"

namespace {

// The line being assembled: static storage without a destructor or heap
// memory, so that it can neither be used after destruction at exit nor be
// left behind when the library is unloaded. Longer lines go in pieces.
struct PendingLine {
    char text[1024];
    size_t length;
};

// Assembles whole lines from what the stream is given. The stream's own
// lock serialises the calls.
ssize_t writeLines(void* cookie, const char* data, size_t size) {
    PendingLine& pending = *static_cast<PendingLine*>(cookie);
    for (size_t i = 0; i < size; i++) {
        const bool lineEnd = data[i] == '\n';
        if (!lineEnd)
            pending.text[pending.length++] = data[i];
        if (lineEnd || pending.length == sizeof pending.text - 1) {
            SampleFileClientLog::write(SampleFileClientLog::kDebug, std::string(pending.text, pending.length));
            pending.length = 0;
        }
    }
    return static_cast<ssize_t>(size);
}

FILE* makeStream() {
    static PendingLine pending;
    cookie_io_functions_t functions{};
    functions.write = writeLines;
    FILE* stream = fopencookie(&pending, "w", functions);
    if (stream != nullptr)
        setvbuf(stream, nullptr, _IOLBF, 1024);
    return stream;
}

}  // namespace

FILE* rhClientDiagnosticStream() {
    // Never closed: lines may still come while the process exits. When the
    // stream cannot be made, a stream on /dev/null stands in.
    static FILE* stream = [] {
        FILE* made = makeStream();
        return made != nullptr ? made : fopen("/dev/null", "w");
    }();
    return stream;
}

void DiagnosticLog::addEventToLog(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0)
        return;
    std::string line(text);
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    SampleFileClientLog::write(SampleFileClientLog::kDebug, line);
}
