#include "SampleFileClientLog.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

// Shared so that a line being delivered keeps its sink alive while another
// thread replaces it.
std::shared_ptr<SampleFileClientLog::Sink>& currentSink() {
    static std::shared_ptr<SampleFileClientLog::Sink> sink;
    return sink;
}

}  // namespace

void SampleFileClientLog::setSink(Sink sink) {
    auto next = sink ? std::make_shared<Sink>(std::move(sink)) : nullptr;
    std::lock_guard<std::mutex> lock(sinkMutex());
    currentSink() = std::move(next);
}

void SampleFileClientLog::write(Level level, const std::string& line) {
    std::shared_ptr<Sink> sink;
    {
        std::lock_guard<std::mutex> lock(sinkMutex());
        sink = currentSink();
    }
    if (sink != nullptr)
        (*sink)(level, line);
}

void SampleFileClientLog::writef(Level level, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0)
        return;
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    write(level, line);
}
