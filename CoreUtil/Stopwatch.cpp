#include "Stopwatch.h"

#include <cstdio>
#include <sys/stat.h>

#include "RhFileUtils.h"
#include "RhPath.h"

Stopwatch::Stopwatch() : startTime(), callbacks(static_cast<int>(sizeof(Slot))), advancedBefore(false) { start(); }

Stopwatch::~Stopwatch() {}

void Stopwatch::start() { gettimeofdayRh(&startTime); }

int Stopwatch::gettimeofdayRh(struct timeval* now) { return gettimeofday(now, nullptr); }

float Stopwatch::getElapseduSec() const {
    struct timeval now;
    gettimeofdayRh(&now);
    return static_cast<float>(now.tv_sec - startTime.tv_sec) * 1000000.0f +
           static_cast<float>(now.tv_usec - startTime.tv_usec);
}

int Stopwatch::getElapsedMSec() const { return static_cast<int>(getElapseduSec() / 1000.0f); }

int64_t Stopwatch::getElapseduSecExact() const {
    struct timeval now;
    gettimeofdayRh(&now);
    return static_cast<int64_t>(now.tv_sec - startTime.tv_sec) * 1000000 +
           static_cast<int64_t>(now.tv_usec - startTime.tv_usec);
}

int Stopwatch::registerCB(Callback callback, void* argument, int intervalMs, int mode) {
    Slot slot = {callback, argument, intervalMs, mode, getElapsedMSec()};
    int n = callbacks.getCount();
    for (int i = 0; i < n; ++i) {
        if (slotAt(i)->callback == nullptr) {
            *slotAt(i) = slot;
            return i;
        }
    }
    return callbacks.append(&slot) ? n : -1;
}

void Stopwatch::unregisterCB(Callback callback, void* argument) {
    (void)argument;
    int n = callbacks.getCount();
    for (int i = 0; i < n; ++i) {
        if (slotAt(i)->callback == callback) {
            slotAt(i)->callback = nullptr;
            return;
        }
    }
}

void Stopwatch::advance() {
    int now = getElapsedMSec();
    if (!advancedBefore) {
        advancedBefore = true;
        for (int i = 0; i < callbacks.getCount(); ++i) slotAt(i)->referenceMs = now;
    }
    for (int i = 0; i < callbacks.getCount(); ++i) {
        Slot due = *slotAt(i);
        if (due.callback == nullptr || due.referenceMs + due.intervalMs >= now) continue;
        due.callback(due.argument);
        // The callback may have changed the registry: re-read the slot.
        Slot* slot = i < callbacks.getCount() ? slotAt(i) : nullptr;
        if (!slot || slot->callback != due.callback || slot->argument != due.argument) continue;
        if (due.mode == 2) slot->referenceMs += due.intervalMs;
        else if (due.mode == 1) slot->referenceMs = now + due.intervalMs;
        else slot->callback = nullptr;
    }
}

long long Stopwatch::getCurrentTimeConsistentWithFileModificationTimes() {
    RhPath path;
    path.tempDir("fileMod");
    FILE* file = RhUtils::fopenUnicodeSafe(path.getText(), "wb");
    if (!file) {
        struct timeval now;
        gettimeofdayRh(&now);
        return static_cast<long long>(now.tv_sec);
    }
    fputc(0, file);
    fflush(file);
    if (fseek(file, 0, SEEK_SET) != 0) printf("ERROR seek");
    struct stat info;
    long long seconds;
    if (fstat(fileno(file), &info) == 0) {
        seconds = static_cast<long long>(info.st_mtime);
    } else {
        struct timeval now;
        gettimeofdayRh(&now);
        seconds = static_cast<long long>(now.tv_sec);
    }
    fclose(file);
    return seconds;
}
