// SPDX-License-Identifier: Apache-2.0
#pragma once

// The tuner's HTTP/1.1 connection handling, on 127.0.0.1 only.
//
// Why our own and not cpp-httplib's server: the packaged httplib (0.11) reads
// a request head with a timeout per read and no bound on the number of header
// lines, and gives each connection a pool thread for as long as the client
// takes; eight clients trickling one header line at a time held every worker,
// and stopping waited for them. It cannot be handed a request already read
// and bounded elsewhere either. So one poll() loop does every read and write
// here, without blocking, and bounds each request under one deadline before
// anything else sees it: a slow or hostile client costs a file descriptor
// and a few kilobytes, never a worker. Workers only run complete, admitted
// requests.

#include "HttpMessage.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veilcast::tune {

struct HttpOptions {
    int port = 0;  // 0: a free one
    // A request's head, as the bytes arrive: past either bound it is refused
    // (431) before it is parsed or kept.
    std::size_t maxHeadBytes = 16 * 1024;
    std::size_t maxHeaderLines = 64;
    std::size_t maxBodyBytes = 16 * 1024;
    // From the moment a connection may send a request (accepted, or its last
    // answer written) to the last byte of the request's body: one deadline,
    // however the bytes trickle in.
    std::chrono::milliseconds requestTime{5000};
    // Writing one answer (an image may be tens of megabytes).
    std::chrono::milliseconds answerTime{20000};
    // After a refusal: how long the client's further bytes are read and
    // dropped, so that closing does not reset the connection under the answer.
    std::chrono::milliseconds lingerTime{1000};
    // Fewer when the process's descriptor limit (RLIMIT_NOFILE) would not
    // leave it descriptors of its own with this many open.
    std::size_t maxConnections = 256;
    int workers = 4;
    // Added to every answer, refusals made here included.
    std::vector<std::pair<std::string, std::string>> commonHeaders;
};

// The port is taken (by another tuner, or anything else).
struct PortInUse : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class HttpServer {
public:
    // Answers an admitted request, body and all, on a worker. An exception
    // it throws is answered 500.
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    // What Admit says of a request's head.
    struct Admission {
        // Refuses the request, and the connection is closed after it; nullopt admits it.
        std::optional<HttpResponse> refusal;
        // The client showed it holds the secret: its connection is never
        // closed to make room for one that has not.
        bool proven = false;
        // What answers the admitted request: the one lookup that admitted it
        // also chose its answer, so the two cannot disagree.
        Handler handler = nullptr;
    };
    // Looks at a request's head (the body not read yet). Runs on the
    // connection loop, so it must be quick and touch no shared state.
    using Admit = std::function<Admission(const HttpRequest&)>;

    // Binds and listens on 127.0.0.1; throws PortInUse, or std::runtime_error.
    HttpServer(const HttpOptions& options, Admit admit);
    ~HttpServer();

    int port() const;
    // Serves on a thread of its own; requests run on a pool of workers.
    void start();
    // Closes every connection and the socket; returns once the loop and the
    // workers have ended (a request being answered is finished first).
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veilcast::tune
