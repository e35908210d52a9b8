// `sfclient status` and `sfclient top`: what the server holds, read from its
// status port.
#pragma once

#include <string>

#include "JsonValue.h"

namespace sfclient {

// Results of fetchStatus.
enum FetchResult : int {
    kFetchOk = 0,
    kFetchNoServer = 1,        // no process serves the server port
    kFetchNoStatusPort = 2,    // a server serves, but no status port (or it does not answer)
    kFetchBadDocument = 3,     // the reply is no status document
};

// Why no server answers, as one sentence: "No server is serving." when no
// process serves the port; otherwise names the process that holds the port
// without answering, and whether it is stopped.
std::string noServerSentence();

// Asks the status port for every page of the document and merges them into
// one: the server and totals of the first page, every client and every file.
// The "page" member is dropped. On failure *why holds a sentence.
int fetchStatus(JsonValue* document, std::string* why);

// `status [--json]` and `top [--count N]`, with the arguments after the
// command. Return the exit status.
int runStatus(int argc, char** argv);
int runTop(int argc, char** argv);

}  // namespace sfclient
