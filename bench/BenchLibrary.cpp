#include "BenchLibrary.h"

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace bench {
namespace {

namespace fs = std::filesystem;

constexpr double kSampleRate = 44100.0;
constexpr int kChannels = 2;
// Named after the layout: a library of an older layout is made afresh.
constexpr const char* kManifestName = "manifest-v2.txt";

struct FormatKind {
    FormatClass formatClass;
    const char* prefix;
    const char* suffix;
    const char* soxType;
    int bits;
    double sizeRatio;  // source bytes per raw PCM byte (FLAC: its compression)
};

// The FLAC ratios are those the content below gives with sox's default level.
const FormatKind kClasses[] = {
    {FormatClass::kWav16, "wav16", "wav", "wavpcm", 16, 1.0},
    {FormatClass::kWav24, "wav24", "wav", "wavpcm", 24, 1.0},
    {FormatClass::kAiff16, "aiff16", "aif", "aiff", 16, 1.0},
    {FormatClass::kFlac16, "flac16", "flc", "flac", 16, 0.58},
    {FormatClass::kFlac24, "flac24", "flc", "flac", 24, 0.72},
};

struct PlannedFile {
    std::string name;
    const FormatKind* kind;
    double seconds;
    int variant;
};

// A fixed sequence of file sizes between 5 and 30 MB per class, so that the
// same size of library is always the same library.
std::vector<PlannedFile> planLibrary(int megabytes) {
    std::vector<PlannedFile> plan;
    const double perClass = megabytes * 1e6 / std::size(kClasses);
    uint32_t seed = 12345;
    for (const FormatKind& kind : kClasses) {
        double planned = 0;
        for (int index = 0; planned < perClass; index++) {
            seed = seed * 1664525u + 1013904223u;
            double size = 5e6 + (seed >> 8) % 25000001;
            size = std::max(5e6, std::min(size, perClass - planned + 1e5));
            const double bytesPerSecond = kSampleRate * kChannels * kind.bits / 8 * kind.sizeRatio;
            char name[64];
            snprintf(name, sizeof name, "%s_%03d.%s", kind.prefix, index, kind.suffix);
            plan.push_back({name, &kind, size / bytesPerSecond, index});
            planned += size;
        }
    }
    std::sort(plan.begin(), plan.end(), [](const PlannedFile& a, const PlannedFile& b) { return a.name < b.name; });
    return plan;
}

// Two tones that move between files, a slow tremolo and pink noise filtered
// as a recording's spectrum falls off.
std::string soxCommand(const PlannedFile& file, const std::string& output) {
    const int tone1 = 110 + (file.variant * 37) % 300;
    const int tone2 = 165 + (file.variant * 53) % 500;
    const double tremolo = 2.0 + (file.variant % 5);
    char command[1024];
    snprintf(command, sizeof command,
             "sox -q -V1 -n -r 44100 -c 2 -b %d -t %s '%s' synth %.2f sine %d sine %d "
             "synth %.2f pinknoise mix lowpass 6000 tremolo %.1f 40 vol 0.5 2>&1",
             file.kind->bits, file.kind->soxType, output.c_str(), file.seconds, tone1, tone2, file.seconds,
             tremolo);
    return command;
}

bool generate(const std::vector<PlannedFile>& plan, const fs::path& partial) {
    std::error_code ignored;
    fs::remove_all(partial, ignored);
    if (!fs::create_directories(partial, ignored)) {
        fprintf(stderr, "LoadBench: cannot create %s\n", partial.c_str());
        return false;
    }
    std::atomic<size_t> next{0};
    std::atomic<size_t> done{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<bool> failed{false};
    std::mutex printMutex;
    auto worker = [&] {
        for (size_t i = next++; i < plan.size() && !failed; i = next++) {
            const fs::path output = partial / plan[i].name;
            const std::string command = soxCommand(plan[i], output.string());
            if (std::system(command.c_str()) != 0 || !fs::exists(output)) {
                std::lock_guard<std::mutex> lock(printMutex);
                fprintf(stderr, "\nLoadBench: failed: %s\n", command.c_str());
                failed = true;
                return;
            }
            bytes += fs::file_size(output, ignored);
            std::lock_guard<std::mutex> lock(printMutex);
            fprintf(stderr, "\r  generating %zu/%zu files, %.0f MB", ++done, plan.size(), bytes / 1e6);
        }
    };
    std::thread second(worker);
    worker();
    second.join();
    fprintf(stderr, "\n");
    return !failed;
}

bool readManifest(const fs::path& folder, Library* library) {
    std::ifstream manifest(folder / kManifestName);
    if (!manifest)
        return false;
    library->folder = folder.string();
    library->files.clear();
    std::string name;
    while (std::getline(manifest, name)) {
        if (name.empty())
            continue;
        const FormatKind* kind = nullptr;
        for (const FormatKind& candidate : kClasses)
            if (name.rfind(std::string(candidate.prefix) + "_", 0) == 0)
                kind = &candidate;
        if (kind == nullptr)
            return false;
        LibraryFile file;
        file.path = (folder / name).string();
        file.formatClass = kind->formatClass;
        SF_INFO info{};
        SNDFILE* handle = sf_open(file.path.c_str(), SFM_READ, &info);
        if (handle == nullptr) {
            fprintf(stderr, "LoadBench: libsndfile cannot open %s: %s\n", file.path.c_str(), sf_strerror(nullptr));
            return false;
        }
        sf_close(handle);
        file.channels = info.channels;
        file.frames = info.frames;
        std::error_code error;
        file.sourceBytes = fs::file_size(file.path, error);
        library->files.push_back(file);
    }
    std::sort(library->files.begin(), library->files.end(),
              [](const LibraryFile& a, const LibraryFile& b) { return a.path < b.path; });
    return !library->files.empty();
}

}  // namespace

const char* formatClassName(FormatClass formatClass) {
    switch (formatClass) {
    case FormatClass::kWav16: return "WAV 16-bit";
    case FormatClass::kWav24: return "WAV 24-bit";
    case FormatClass::kAiff16: return "AIFF 16-bit";
    case FormatClass::kFlac16: return "FLAC 16-bit";
    case FormatClass::kFlac24: return "FLAC 24-bit";
    }
    return "?";
}

bool isFlac(FormatClass formatClass) {
    return formatClass == FormatClass::kFlac16 || formatClass == FormatClass::kFlac24;
}

bool prepareLibrary(const std::string& cacheFolder, int megabytes, Library* library) {
    const fs::path folder = fs::path(cacheFolder) / ("library-" + std::to_string(megabytes) + "MB");
    if (readManifest(folder, library))
        return true;
    const std::vector<PlannedFile> plan = planLibrary(megabytes);
    fprintf(stderr, "LoadBench: generating a library of about %d MB in %s (once)\n", megabytes, folder.c_str());
    fs::path partial = folder;
    partial += ".partial";
    if (!generate(plan, partial))
        return false;
    {
        std::ofstream manifest(partial / kManifestName);
        for (const PlannedFile& file : plan)
            manifest << file.name << "\n";
        if (!manifest)
            return false;
    }
    // Written back now, so that evicting the files from the page cache later
    // finds no dirty pages.
    std::system("sync");
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    fs::rename(partial, folder, ignored);
    if (ignored) {
        fprintf(stderr, "LoadBench: cannot rename %s: %s\n", partial.c_str(), ignored.message().c_str());
        return false;
    }
    return readManifest(folder, library);
}

}  // namespace bench
