#include "SfclientReport.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "SampleFile.h"
#include "SampleFileClient.h"

namespace sfclient {

namespace {

struct LoadedFile {
    std::string path;
    int channels = 0;
    int32_t frames = 0;
    float peak = 0.0f;
    std::vector<std::string> segmentNames;
};

// Attaches every channel the server made for `path`; false when none.
bool attachAll(const std::string& path, LoadedFile* file) {
    file->path = path;
    for (int channel = 0; channel < 2; channel++) {
        SampleFileAttachment attachment;
        if (SampleFileClient::attachSampleFile(path, channel, SampleFileClient::kAnyFrameCount, &attachment) != 0)
            break;
        file->channels++;
        file->frames = attachment.frameCount();
        file->segmentNames.push_back(attachment.segmentName());
        const float* samples = attachment.samples();
        for (int32_t i = 0; i < attachment.frameCount(); i++)
            file->peak = std::max(file->peak, std::fabs(samples[i]));
    }
    return file->channels > 0;
}

std::string peakText(float peak) {
    if (peak <= 0.0f)
        return "-inf";
    char text[32];
    snprintf(text, sizeof text, "%.1f", 20.0 * std::log10(static_cast<double>(peak)));
    return text;
}

const char* formatName(SampleFileFormat format) {
    switch (format) {
        case SampleFileFormatAIFF: return "AIFF/AIFC";
        case SampleFileFormatWAVE: return "WAVE";
        case SampleFileFormatCompressed: return "FLAC";
        default: return "none";
    }
}

}  // namespace

std::string localFailureReason(const std::string& path) {
    RhPath local(path.c_str());
    SampleFileError error = SampleFileErrorNone;
    StreamableSampleFile* reader = StreamableSampleFile::constructSampleFile(&local, &error);
    if (reader == nullptr) {
        if (error == SampleFileErrorNone)
            return "Not a sample file that the server reads (by its name).";
        RhString text;
        StreamableSampleFile::formatErrorMessage(error, &text);
        return std::string(text.getText()) + ".";
    }
    const int channels = reader->numChannels;
    delete reader;
    if (channels > 2)
        return "It has " + std::to_string(channels) + " channels; the server holds files of one or two.";
    return "It opens here, but the server made no segments for it (out of shared memory, or it changed meanwhile).";
}

int printLoadReport(const std::vector<std::string>& paths, FILE* out) {
    std::vector<LoadedFile> loaded;
    std::vector<std::string> failed;
    for (const std::string& path : paths) {
        LoadedFile file;
        if (attachAll(path, &file))
            loaded.push_back(std::move(file));
        else
            failed.push_back(path);
    }
    if (!loaded.empty()) {
        fprintf(out, "%-4s %10s %9s  %s  [segments]\n", "ch", "frames", "peak dB", "file");
        for (const LoadedFile& file : loaded) {
            std::string names;
            for (const std::string& name : file.segmentNames)
                names += (names.empty() ? "" : ",") + name;
            fprintf(out, "%-4d %10d %9s  %s  [%s]\n", file.channels, file.frames, peakText(file.peak).c_str(),
                    file.path.c_str(), names.c_str());
        }
    }
    for (const std::string& path : failed)
        fprintf(out, "Not loaded: %s\n  %s\n", path.c_str(), localFailureReason(path).c_str());
    fprintf(out, "%zu of %zu file%s loaded.\n", loaded.size(), paths.size(), paths.size() == 1 ? "" : "s");
    return static_cast<int>(failed.size());
}

int printFileInfo(const std::vector<std::string>& paths, FILE* out) {
    int failures = 0;
    for (const std::string& path : paths) {
        RhPath local(path.c_str());
        SampleFileError error = SampleFileErrorNone;
        StreamableSampleFile* reader = StreamableSampleFile::constructSampleFile(&local, &error);
        fprintf(out, "%s\n", path.c_str());
        if (reader == nullptr) {
            RhString text;
            StreamableSampleFile::formatErrorMessage(error, &text);
            fprintf(out, "  cannot be read: %s\n", error == SampleFileErrorNone ? "not a sample file (by its name)"
                                                                                : text.getText());
            failures++;
            continue;
        }
        fprintf(out, "  format       %s\n", formatName(reader->getFileFormat()));
        fprintf(out, "  channels     %d\n", reader->numChannels);
        fprintf(out, "  frames       %d\n", reader->numSampleFrames);
        fprintf(out, "  sample rate  %g Hz\n", static_cast<double>(reader->sampleRate));
        fprintf(out, "  bits         %d\n", reader->bytesPerSample * 8);
        if (reader->loopMode != 0)
            fprintf(out, "  loop         mode %d, frames %d to %d\n", reader->loopMode, reader->loopStart,
                    reader->loopEnd);
        else
            fprintf(out, "  loop         none\n");
        fprintf(out, "  base note    %d\n", reader->baseNote);
        fprintf(out, "  pitch ratio  %.10f\n", reader->pitchRatio);
        RhPath container;
        unsigned long long offset = 0;
        reader->getLowLevelDiskFileInfo(&container, &offset);
        if (strcmp(container.getText(), local.getText()) != 0)
            fprintf(out, "  container    %s, member at byte %llu\n", container.getText(), offset);
        delete reader;
    }
    return failures;
}

int printSamples(const std::string& path, int32_t frame, FILE* out) {
    int channels = 0;
    for (int channel = 0; channel < 2; channel++) {
        SampleFileAttachment attachment;
        if (SampleFileClient::attachSampleFile(path, channel, SampleFileClient::kAnyFrameCount, &attachment) != 0)
            break;
        if (frame >= attachment.frameCount()) {
            fprintf(stderr, "sfclient: %s holds %d frames; there is no frame %d.\n", path.c_str(),
                    attachment.frameCount(), frame);
            return 1;
        }
        fprintf(out, "channel %d: %.9g\n", channel, static_cast<double>(attachment.samples()[frame]));
        channels++;
    }
    if (channels == 0) {
        fprintf(stderr, "sfclient: %s is not held by a server.\n", path.c_str());
        return 1;
    }
    return 0;
}

ProgressDisplay::ProgressDisplay(FILE* out, size_t total)
    : out_(out), total_(total), terminal_(isatty(fileno(out)) != 0) {}

void ProgressDisplay::show(int remaining) {
    if (remaining == shown_)
        return;
    shown_ = remaining;
    const size_t done = total_ >= static_cast<size_t>(remaining) ? total_ - static_cast<size_t>(remaining) : 0;
    if (terminal_) {
        constexpr size_t kWidth = 30;
        const size_t filled = total_ > 0 ? done * kWidth / total_ : kWidth;
        fprintf(out_, "\r[%s%s] %zu of %zu file%s loaded", std::string(filled, '#').c_str(),
                std::string(kWidth - filled, '.').c_str(), done, total_, total_ == 1 ? "" : "s");
        barDrawn_ = true;
    } else if (remaining == 0) {
        fprintf(out_, "Nothing left to load.\n");
    } else {
        fprintf(out_, "Loading: %zu of %zu file%s done.\n", done, total_, total_ == 1 ? "" : "s");
    }
    fflush(out_);
}

void ProgressDisplay::finish() {
    if (barDrawn_)
        fprintf(out_, "\n");
    barDrawn_ = false;
    fflush(out_);
}

}  // namespace sfclient
