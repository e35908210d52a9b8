// SampleFileClientLog: where the client side reports what went wrong (or,
// at the debug level, what it did), instead of printing. A host that embeds
// the client installs one sink per process (per copy of the client library);
// without a sink the lines are dropped.
#pragma once

#include <functional>
#include <string>

class SampleFileClientLog {
public:
    enum Level : int {
        kDebug = 0,
        kInfo = 1,
        kWarning = 2,
        kError = 3,
    };

    // Receives one line (no line end) at a time. It may run on any thread
    // of the client, also on the caller's thread inside a client call, and
    // possibly on several threads at once; it must not call back into the
    // client that is logging.
    using Sink = std::function<void(Level level, const std::string& line)>;

    // Replaces the sink (null: lines are dropped). Lines already being
    // delivered finish with the old sink.
    static void setSink(Sink sink);
    // Hands `line` to the sink, when one is installed.
    static void write(Level level, const std::string& line);
    // printf-style form of write.
    static void writef(Level level, const char* format, ...) __attribute__((format(printf, 2, 3)));
};
