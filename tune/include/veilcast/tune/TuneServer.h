// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/tune/TuneSession.h"

#include <memory>
#include <string>

namespace veilcast::tune {

struct ServerOptions {
    int port = 0;       // 0: a free port chosen by the system
    std::string token;  // empty: a random one
    // Open at once (fewer if the descriptor limit is low); of those never
    // shown the token, the one longest on its request makes room.
    std::size_t maxConnections = 256;
};

// The tuning page and its API over HTTP, on 127.0.0.1 only. Every API
// request needs the token in its X-Veilcast-Token header (see RequestGuard.h);
// no request names a file, and the only file written is the session's
// settings file.
class TuneServer {
public:
    // Binds the port and serves, on a thread of its own with requests on a
    // pool, until stop() or the end of its life. Throws PortInUse (a
    // std::runtime_error) when the port is taken, std::runtime_error for
    // anything else.
    TuneServer(TuneSession& session, const ServerOptions& options);
    ~TuneServer();

    // The page's address with the token: what the user opens.
    std::string url() const;
    const std::string& token() const;
    int port() const;
    // Closes every connection, lets requests being answered finish and joins
    // the threads: what clients do cannot hold it up.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veilcast::tune
