// C++ layer over the C interface of client.h: owning handles that release
// what they hold, with the same threading, blocking and ownership rules as
// the functions they call (see client.h). Header-only, so that the
// library's binary interface stays the C one.
#ifndef QUILLORANTICS_CLIENT_HPP
#define QUILLORANTICS_CLIENT_HPP

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "client.h"

namespace quillorantics {

// All channels of one file, mapped until destruction.
class File {
public:
    File() = default;
    // qsf_file_attach; check isAttached() or status().
    File(const std::string& path, int32_t expectedFrames = QSF_ANY_FRAME_COUNT)
        : file_(qsf_file_attach(path.c_str(), expectedFrames, &status_)) {}
    ~File() { qsf_file_detach(file_); }
    File(File&& other) noexcept : file_(std::exchange(other.file_, nullptr)), status_(other.status_) {}
    File& operator=(File&& other) noexcept {
        if (this != &other) {
            qsf_file_detach(file_);
            file_ = std::exchange(other.file_, nullptr);
            status_ = other.status_;
        }
        return *this;
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool isAttached() const { return file_ != nullptr; }
    int status() const { return status_; }
    // Real-time safe: plain memory.
    int channels() const { return qsf_file_channels(file_); }
    int32_t frames() const { return qsf_file_frames(file_); }
    const float* samples(int channel) const { return qsf_file_samples(file_, channel); }

private:
    qsf_file* file_ = nullptr;
    int status_ = QSF_ERR_NOT_CONNECTED;
};

// One client of the server.
class Client {
public:
    explicit Client(const qsf_options* options = nullptr) : client_(qsf_client_create(options)) {}
    ~Client() { qsf_client_destroy(client_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // False only when the client could not be made (out of memory).
    bool isValid() const { return client_ != nullptr; }
    qsf_client* handle() const { return client_; }
    std::string name() const { return qsf_client_name(client_); }

    int connectAsync() { return qsf_client_connect_async(client_); }
    int connect() { return qsf_client_connect(client_); }
    int state(int* status = nullptr) const { return qsf_client_state(client_, status); }
    std::string lastError() const {
        std::string text(qsf_client_last_error(client_, nullptr, 0), '\0');
        qsf_client_last_error(client_, text.data(), text.size() + 1);
        return text;
    }
    int serverPid() const { return qsf_client_server_pid(client_); }

    struct Entry {
        std::string path;
        int32_t frames = QSF_WHOLE_FILE;
    };
    int sendList(const std::vector<Entry>& entries) {
        std::vector<const char*> paths;
        std::vector<int32_t> frames;
        paths.reserve(entries.size());
        frames.reserve(entries.size());
        for (const Entry& entry : entries) {
            paths.push_back(entry.path.c_str());
            frames.push_back(entry.frames);
        }
        return qsf_client_send_list(client_, paths.data(), frames.data(), entries.size());
    }
    int progress(int32_t* remaining) { return qsf_client_get_progress(client_, remaining); }
    int outcomes(std::vector<qsf_file_outcome>* out, size_t count) {
        out->assign(count, qsf_file_outcome{0, 0, 0});
        return qsf_client_get_outcomes(client_, out->data(), count);
    }
    int leave() { return qsf_client_leave(client_); }

private:
    qsf_client* client_;
};

}  // namespace quillorantics

#endif  // QUILLORANTICS_CLIENT_HPP
