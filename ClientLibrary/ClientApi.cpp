// The C interface of the client library: opaque handles over
// SampleFileClient and SampleFileChannels. No exception leaves this file.
#include "quillorantics/client.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "SampleFileClient.h"
#include "MessagePort.h"
#include "SampleFileClientLog.h"
#include "SampleFileServerUtilities.h"

#ifndef QSF_VERSION_TEXT
#error "QSF_VERSION_TEXT must hold the library version"
#endif

struct qsf_client {
    explicit qsf_client(const SampleFileClient::Options& options) : client(options) {}
    SampleFileClient client;
};

struct qsf_file {
    SampleFileChannels channels;
};

namespace {

static_assert(QSF_MAX_LIST_ENTRIES == SampleFileClient::kMaxListEntries, "the header states the client's limit");
constexpr bool same(int a, int b) { return a == b; }
static_assert(same(QSF_ERR_SEND_TIMEOUT, platform::kPortSendTimeout) &&
                  same(QSF_ERR_SERVER_WENT_AWAY, platform::kPortBecameInvalid) &&
                  same(QSF_ERR_UNSENDABLE, SampleFileServerUtilities::kUnsendableMessage) &&
                  same(QSF_ERR_NO_OWN_PORT, SampleFileClient::kClientNoOwnPort) &&
                  same(QSF_ERR_FRAME_COUNT_MISMATCH, SampleFileClient::kClientFrameCountMismatch) &&
                  same(QSF_ERR_LIST_TOO_LONG, SampleFileClient::kClientListTooLong) &&
                  same(QSF_ERR_CONNECTING, SampleFileClient::kClientConnecting) &&
                  same(QSF_ERR_STILL_LOADING, SampleFileClient::kClientStillLoading) &&
                  same(QSF_ERR_SERVER_NOT_FOUND, SampleFileClient::kClientServerNotFound) &&
                  same(QSF_ERR_OVER_LIMIT, SampleFileClient::kClientOverLimit) &&
                  same(QSF_ERR_NOT_REGISTERED, SampleFileClient::kClientNotRegistered),
              "the C statuses are the client's");
static_assert(QSF_ANY_FRAME_COUNT == SampleFileClient::kAnyFrameCount, "frame-count wildcards are shared");
static_assert(QSF_STATE_RECONNECTING == static_cast<int>(SampleFileClient::State::kReconnecting), "states are shared");

// Runs `body`, turning any exception (only allocation can throw) into a status.
template <typename Body>
int guarded(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return QSF_ERR_OUT_OF_MEMORY;
    } catch (...) {
        return QSF_ERR_BAD_ARGUMENT;
    }
}

}  // namespace

extern "C" {

const char* qsf_status_text(int status) {
    if (status == QSF_ERR_OUT_OF_MEMORY)
        return "The library could not allocate memory.";
    return SampleFileClient::describeStatus(status);
}

const char* qsf_version(void) { return QSF_VERSION_TEXT; }

void qsf_set_log_callback(qsf_log_fn callback, void* user_data) {
    try {
        if (callback == nullptr) {
            SampleFileClientLog::setSink(nullptr);
            return;
        }
        SampleFileClientLog::setSink([callback, user_data](SampleFileClientLog::Level level, const std::string& line) {
            callback(user_data, static_cast<int>(level), line.c_str());
        });
    } catch (...) {
        // Out of memory: the previous callback stays.
    }
}

void qsf_options_init(qsf_options* options) {
    if (options == nullptr)
        return;
    const SampleFileClient::Options defaults;
    options->server_executable = nullptr;
    options->start_server = defaults.startServer ? 1 : 0;
    options->auto_reconnect = 1;
    options->connect_seconds = defaults.connectSeconds;
    options->message_timeout_seconds = defaults.messageTimeoutSeconds;
}

qsf_client* qsf_client_create(const qsf_options* options) {
    try {
        qsf_options given;
        qsf_options_init(&given);
        if (options != nullptr)
            given = *options;
        SampleFileClient::Options converted;
        if (given.server_executable != nullptr)
            converted.serverExecutable = given.server_executable;
        converted.startServer = given.start_server != 0;
        converted.reconnect = given.auto_reconnect != 0;
        converted.connectSeconds = given.connect_seconds > 0 ? given.connect_seconds : 0.0;
        converted.messageTimeoutSeconds =
            given.message_timeout_seconds > 0 ? static_cast<float>(given.message_timeout_seconds) : 0.0f;
        return new qsf_client(converted);
    } catch (...) {
        return nullptr;
    }
}

void qsf_client_destroy(qsf_client* client) { delete client; }

const char* qsf_client_name(const qsf_client* client) {
    return client != nullptr ? client->client.name().c_str() : "";
}

void qsf_client_set_connection_callback(qsf_client* client, qsf_connection_fn callback, void* user_data) {
    if (client == nullptr)
        return;
    try {
        if (callback == nullptr)
            client->client.setConnectionCallback(nullptr);
        else
            client->client.setConnectionCallback([callback, user_data](SampleFileClient::State state, int status) {
                callback(user_data, static_cast<int>(state), status);
            });
    } catch (...) {
    }
}

void qsf_client_set_server_gone_callback(qsf_client* client, qsf_event_fn callback, void* user_data) {
    if (client == nullptr)
        return;
    try {
        if (callback == nullptr)
            client->client.setServerGoneCallback(nullptr);
        else
            client->client.setServerGoneCallback([callback, user_data] { callback(user_data); });
    } catch (...) {
    }
}

void qsf_client_set_loading_finished_callback(qsf_client* client, qsf_event_fn callback, void* user_data) {
    if (client == nullptr)
        return;
    try {
        if (callback == nullptr)
            client->client.setLoadingFinishedCallback(nullptr);
        else
            client->client.setLoadingFinishedCallback([callback, user_data] { callback(user_data); });
    } catch (...) {
    }
}

int qsf_client_connect_async(qsf_client* client) {
    if (client == nullptr)
        return QSF_ERR_BAD_ARGUMENT;
    return guarded([&] { return client->client.connectAsync(); });
}

int qsf_client_connect(qsf_client* client) {
    if (client == nullptr)
        return QSF_ERR_BAD_ARGUMENT;
    return guarded([&] { return client->client.connect(); });
}

int qsf_client_state(const qsf_client* client, int* status_out) {
    if (client == nullptr) {
        if (status_out != nullptr)
            *status_out = QSF_ERR_BAD_ARGUMENT;
        return QSF_STATE_IDLE;
    }
    return static_cast<int>(client->client.state(status_out));
}

size_t qsf_client_last_error(const qsf_client* client, char* buffer, size_t size) {
    if (client == nullptr)
        return 0;
    try {
        const std::string text = client->client.lastError();
        if (buffer != nullptr && size > 0) {
            const size_t copied = std::min(text.size(), size - 1);
            memcpy(buffer, text.data(), copied);
            buffer[copied] = '\0';
        }
        return text.size();
    } catch (...) {
        return 0;
    }
}

int qsf_client_server_pid(const qsf_client* client) {
    return client != nullptr ? static_cast<int>(client->client.serverPid()) : 0;
}

int qsf_client_send_list(qsf_client* client, const char* const* paths, const int32_t* frame_counts, size_t count) {
    if (client == nullptr || (paths == nullptr && count > 0))
        return QSF_ERR_BAD_ARGUMENT;
    if (count > SampleFileClient::kMaxListEntries)
        return QSF_ERR_LIST_TOO_LONG;
    return guarded([&] {
        std::vector<SampleFileClient::Entry> entries;
        entries.reserve(count);
        for (size_t i = 0; i < count; i++) {
            if (paths[i] == nullptr)
                return static_cast<int>(QSF_ERR_BAD_ARGUMENT);
            entries.push_back({paths[i], frame_counts != nullptr ? frame_counts[i] : QSF_WHOLE_FILE});
        }
        return client->client.sendSampleFileList(entries);
    });
}

int qsf_client_get_progress(qsf_client* client, int32_t* remaining) {
    if (client == nullptr)
        return QSF_ERR_BAD_ARGUMENT;
    return guarded([&] { return client->client.getLoadProgress(remaining); });
}

int qsf_client_get_outcomes(qsf_client* client, qsf_file_outcome* outcomes, size_t count) {
    if (client == nullptr || (outcomes == nullptr && count > 0))
        return QSF_ERR_BAD_ARGUMENT;
    return guarded([&] {
        std::vector<SampleFileClient::FileOutcome> found;
        const int status = client->client.fileOutcomes(&found);
        if (status != 0)
            return status;
        for (size_t i = 0; i < count; i++) {
            outcomes[i] = qsf_file_outcome{0, 0, 0};
            if (i < found.size())
                outcomes[i] = qsf_file_outcome{found[i].loaded ? 1 : 0, found[i].channels, found[i].frames};
        }
        return 0;
    });
}

int qsf_client_leave(qsf_client* client) {
    if (client == nullptr)
        return QSF_ERR_BAD_ARGUMENT;
    return guarded([&] { return client->client.leave(); });
}

qsf_file* qsf_file_attach(const char* path, int32_t expected_frames, int* status_out) {
    int status = QSF_ERR_BAD_ARGUMENT;
    qsf_file* file = nullptr;
    if (path != nullptr) {
        status = guarded([&] {
            auto made = std::make_unique<qsf_file>();
            const int attached = SampleFileClient::attachAllChannels(path, expected_frames, &made->channels);
            if (attached == 0)
                file = made.release();
            return attached;
        });
    }
    if (status_out != nullptr)
        *status_out = status;
    return file;
}

void qsf_file_detach(qsf_file* file) { delete file; }

int qsf_file_channels(const qsf_file* file) { return file != nullptr ? file->channels.channelCount() : 0; }

int32_t qsf_file_frames(const qsf_file* file) { return file != nullptr ? file->channels.frameCount() : 0; }

const float* qsf_file_samples(const qsf_file* file, int channel) {
    return file != nullptr ? file->channels.samples(channel) : nullptr;
}

}  // extern "C"
