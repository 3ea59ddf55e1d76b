// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace veilcast::tune {

// A fresh secret for the page's address: 32 bytes from the system's random
// source, in hex.
std::string randomToken();

// Who may talk to the server. Loopback alone is not enough: any local user,
// and any web page the user visits (through DNS rebinding, or a form posted
// to 127.0.0.1), can reach a loopback port. So every request must carry the
// token, and name this server in its Host header, and a request from a page
// must come from this server's own origin.
class RequestGuard {
public:
    RequestGuard(std::string token, int port);

    struct Verdict {
        int status = 0;      // 0: allowed; else the HTTP status to refuse with
        std::string reason;  // why, for the refusal's body
        bool setCookie = false;  // the token came in the address: hand it over as a cookie
    };
    // `queryToken` is the address's token parameter, "" when absent; the
    // other arguments are the request's headers ("" when absent).
    Verdict check(const std::string& host, const std::string& cookie, const std::string& queryToken,
                  const std::string& origin) const;

    // The cookie that carries the token after the first page load. Named
    // after the port: cookies do not tell ports apart, and two servers may run.
    std::string cookieName() const;
    std::string setCookieHeader() const;

private:
    bool tokenMatches(const std::string& candidate) const;

    std::string token_;
    int port_;
};

}  // namespace veilcast::tune
