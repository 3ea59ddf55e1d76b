// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/tune/TuneSession.h"

#include <memory>
#include <string>

namespace veilcast::tune {

struct ServerOptions {
    int port = 0;       // 0: a free port chosen by the system
    std::string token;  // empty: a random one
};

// The tuning page and its API over HTTP, on 127.0.0.1 only. Every request
// needs the token (see RequestGuard.h); no request names a file, and the
// only file written is the session's settings file.
class TuneServer {
public:
    // Binds the port; throws std::runtime_error when it cannot.
    TuneServer(TuneSession& session, const ServerOptions& options);
    ~TuneServer();  // stops serving
    TuneServer(const TuneServer&) = delete;
    TuneServer& operator=(const TuneServer&) = delete;

    int port() const;
    const std::string& token() const;
    // The page's address with the token: what the user opens.
    std::string url() const;

    // Serves on a thread of its own until stop(); requests run on a pool.
    void start();
    // Stops accepting, lets requests in flight finish and joins the thread.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veilcast::tune
