// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace veilcast::tune {

// A fresh secret for the page's address: 32 bytes from the system's random
// source, in hex.
std::string randomToken();

// The header every API request carries the token in. A custom header, not a
// cookie: browsers send a cookie for 127.0.0.1 to every port of it, so to any
// other local user's server there, while this header only ever goes where
// the page's own script sends it; and a page of another origin cannot add it
// without a CORS pre-flight, which this server never approves.
inline constexpr const char* kTokenHeader = "X-Veilcast-Token";

// Who may talk to the server. Loopback alone is not enough: any local user,
// and any web page the user visits (through DNS rebinding, or a form posted
// to 127.0.0.1), can reach a loopback port. So every request must name this
// server in its Host header, a request from a page must come from this
// server's own origin, and anything that reads or changes state must carry
// the token.
class RequestGuard {
public:
    // Throws std::invalid_argument for an empty token.
    RequestGuard(std::string token, int port);

    struct Verdict {
        int status = 0;      // 0: allowed; else the HTTP status to refuse with
        std::string reason;  // why, for the refusal's body
    };
    // `host` and `origin` are the request's headers ("" when absent), `token`
    // the token header's value (nullptr when absent). `publicPage`: the page
    // and its script and style, which hold no secret and change nothing; the
    // page's address may carry the token (`addressToken`, nullptr when it
    // does not), which must then be right.
    Verdict check(const std::string& host, const std::string& origin, const std::string* token, bool publicPage,
                  const std::string* addressToken) const;

    // Constant time over the whole token, whatever `candidate` holds.
    bool tokenMatches(const std::string& candidate) const;

    std::string host() const;    // "127.0.0.1:PORT"
    std::string origin() const;  // "http://127.0.0.1:PORT"

private:
    std::string token_;
    int port_;
};

}  // namespace veilcast::tune
