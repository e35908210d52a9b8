// The shared client library loaded as plug-ins carry it, with dlopen and
// RTLD_LOCAL from a folder of their own: two copies side by side, each with
// its own name and its own log callback, and the server found beside it.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <quillorantics/client.h>

#include <string>
#include <vector>

#include "ClientLibraryTestSupport.h"

#ifndef QUILLORANTICS_CLIENT_LIBRARY_PATH
#error "QUILLORANTICS_CLIENT_LIBRARY_PATH must name the shared client library"
#endif
#ifndef RH_CONFIGURED_SERVER_PATH
#error "RH_CONFIGURED_SERVER_PATH must name the installed location the library searches"
#endif
#ifndef QUILLORANTICS_TEST_LOADER_SERVER_PATH
#error "QUILLORANTICS_TEST_LOADER_SERVER_PATH must name the server built with the stand-in loader"
#endif

namespace {

using clienttest::LogCollector;
using clienttest::waitUntil;

// The functions of one loaded copy.
struct Copy {
    void* handle = nullptr;
    decltype(&qsf_options_init) optionsInit = nullptr;
    decltype(&qsf_set_log_callback) setLog = nullptr;
    decltype(&qsf_client_create) create = nullptr;
    decltype(&qsf_client_destroy) destroy = nullptr;
    decltype(&qsf_client_name) name = nullptr;
    decltype(&qsf_client_connect) connect = nullptr;
    decltype(&qsf_client_send_list) sendList = nullptr;
    decltype(&qsf_client_get_progress) progress = nullptr;
    decltype(&qsf_client_get_outcomes) outcomes = nullptr;
    decltype(&qsf_file_attach) attach = nullptr;
    decltype(&qsf_file_frames) frames = nullptr;
    decltype(&qsf_file_detach) detach = nullptr;
    decltype(&qsf_client_connect_async) connectAsync = nullptr;
    decltype(&qsf_client_state) state = nullptr;

    ~Copy() {
        if (handle != nullptr)
            dlclose(handle);
    }

    bool load(const std::string& path) {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            return false;
        return find(optionsInit, "qsf_options_init") && find(setLog, "qsf_set_log_callback") &&
               find(create, "qsf_client_create") && find(destroy, "qsf_client_destroy") &&
               find(name, "qsf_client_name") && find(connect, "qsf_client_connect") &&
               find(sendList, "qsf_client_send_list") && find(progress, "qsf_client_get_progress") &&
               find(outcomes, "qsf_client_get_outcomes") && find(attach, "qsf_file_attach") &&
               find(frames, "qsf_file_frames") && find(detach, "qsf_file_detach") &&
               find(connectAsync, "qsf_client_connect_async") && find(state, "qsf_client_state");
    }

    template <typename F>
    bool find(F& function, const char* symbol) {
        function = reinterpret_cast<F>(dlsym(handle, symbol));
        return function != nullptr;
    }
};

class ClientLibraryCopiesTest : public clienttest::ClientFixture {};

TEST_F(ClientLibraryCopiesTest, TwoCopiesLoadedLocallyWorkSideBySide) {
    // Two files of their own, as two plug-in bundles would have.
    const std::string library = rhtest::readFile(QUILLORANTICS_CLIENT_LIBRARY_PATH);
    ASSERT_FALSE(library.empty());
    Copy copies[2];
    LogCollector logs[2];
    for (int i = 0; i < 2; i++) {
        const std::string path = dir.write("plugin" + std::to_string(i) + "/libquillorantics-client.so.1", library);
        ASSERT_TRUE(copies[i].load(path)) << dlerror();
        copies[i].setLog(LogCollector::callback, &logs[i]);
    }
    ASSERT_NE(copies[0].create, copies[1].create) << "the second copy is the first one";

    const std::string shared = samplePath("shared.wav");
    const std::string own[2] = {samplePath("own0.wav"), samplePath("own1.wav")};
    qsf_client* clients[2];
    for (int i = 0; i < 2; i++) {
        qsf_options options;
        copies[i].optionsInit(&options);
        options.server_executable = QUILLORANTICS_TEST_LOADER_SERVER_PATH;
        clients[i] = copies[i].create(&options);
        ASSERT_NE(clients[i], nullptr);
        ASSERT_EQ(copies[i].connect(clients[i]), QSF_OK);
        const char* paths[] = {shared.c_str(), own[i].c_str()};
        const int32_t frames[] = {64, 32};
        ASSERT_EQ(copies[i].sendList(clients[i], paths, frames, 2), QSF_OK);
    }
    EXPECT_NE(std::string(copies[0].name(clients[0])), copies[1].name(clients[1]));

    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(waitUntil(
            [&] {
                int32_t left = -1;
                return copies[i].progress(clients[i], &left) == QSF_OK && left == 0;
            },
            10.0));
        qsf_file_outcome outcomes[2];
        ASSERT_EQ(copies[i].outcomes(clients[i], outcomes, 2), QSF_OK);
        EXPECT_EQ(outcomes[0].loaded, 1);
        EXPECT_EQ(outcomes[1].loaded, 1);
        int status = 0;
        qsf_file* file = copies[i].attach(shared.c_str(), 64, &status);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(copies[i].frames(file), 64);
        copies[i].detach(file);
        // Each copy's log tells of its own client only.
        EXPECT_FALSE(logs[i].containing(copies[i].name(clients[i])).empty());
        EXPECT_TRUE(logs[i].containing(copies[1 - i].name(clients[1 - i])).empty());
    }
    for (int i = 0; i < 2; i++)
        copies[i].destroy(clients[i]);
    EXPECT_TRUE(srvtest::waitUntilNotServing(5.0));
}

TEST_F(ClientLibraryCopiesTest, WithoutOptionOrVariableTheServerBesideTheLibraryIsStarted) {
    if (access(RH_CONFIGURED_SERVER_PATH, X_OK) == 0)
        GTEST_SKIP() << "a server is installed on this machine: the search finds it first";
    rhtest::ScopedEnv path{"PATH", dir.path() + "/nowhere"};
    // A bundle: the library and, beside it, a "server" that only tells it ran.
    const std::string started = dir.file("started");
    const std::string library = dir.write("bundle/libquillorantics-client.so.1",
                                          rhtest::readFile(QUILLORANTICS_CLIENT_LIBRARY_PATH));
    const std::string server = dir.write("bundle/QuilloranticsServer", "#!/bin/sh\necho $$ > " + started + "\n");
    ASSERT_EQ(chmod(server.c_str(), 0700), 0);
    Copy copy;
    ASSERT_TRUE(copy.load(library)) << dlerror();
    qsf_options options;
    copy.optionsInit(&options);
    options.connect_seconds = 60.0;
    qsf_client* client = copy.create(&options);
    ASSERT_EQ(copy.connectAsync(client), QSF_OK);
    EXPECT_TRUE(waitUntil([&] { return !rhtest::readFile(started).empty(); }, 5.0))
        << "the server beside the library was not started";
    copy.destroy(client);
}

}  // namespace
