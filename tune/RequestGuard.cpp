// SPDX-License-Identifier: Apache-2.0
#include "RequestGuard.h"

#include <fstream>
#include <stdexcept>

namespace veilcast::tune {

std::string randomToken()
{
    std::ifstream random("/dev/urandom", std::ios::binary);
    unsigned char bytes[32];
    if (!random.read(reinterpret_cast<char*>(bytes), sizeof bytes))
        throw std::runtime_error("cannot read /dev/urandom for the access token");
    static const char* const hex = "0123456789abcdef";
    std::string token;
    for (const unsigned char b : bytes)
        token += {hex[b >> 4], hex[b & 15]};
    return token;
}

RequestGuard::RequestGuard(std::string token, int port) : token_(std::move(token)), port_(port) {}

std::string RequestGuard::cookieName() const
{
    return "veilcast_tune_" + std::to_string(port_);
}

std::string RequestGuard::setCookieHeader() const
{
    // HttpOnly: the page's scripts never need it; SameSite=Strict: no other
    // site's page can make the browser send it.
    return cookieName() + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict";
}

bool RequestGuard::tokenMatches(const std::string& candidate) const
{
    // Compared in constant time, so the token cannot be guessed a byte at a time.
    if (candidate.size() != token_.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < token_.size(); ++i)
        diff |= static_cast<unsigned char>(candidate[i] ^ token_[i]);
    return diff == 0;
}

RequestGuard::Verdict RequestGuard::check(const std::string& host, const std::string& cookie,
                                          const std::string& queryToken, const std::string& origin) const
{
    const std::string port = std::to_string(port_);
    // DNS rebinding: a foreign name resolved to 127.0.0.1 still names itself here.
    if (host != "127.0.0.1:" + port && host != "localhost:" + port)
        return {421, "this server answers only to 127.0.0.1:" + port, false};
    if (!origin.empty() && origin != "http://127.0.0.1:" + port && origin != "http://localhost:" + port)
        return {403, "requests from other pages are refused", false};
    if (!queryToken.empty()) {
        if (tokenMatches(queryToken))
            return {0, "", true};
        return {403, "wrong access token: use the address veilcast tune printed", false};
    }
    // Cookie header: "a=1; b=2"; ours may be anywhere in it.
    const std::string name = cookieName() + "=";
    for (std::size_t at = 0; at < cookie.size();) {
        while (at < cookie.size() && (cookie[at] == ' ' || cookie[at] == ';'))
            ++at;
        const std::size_t end = std::min(cookie.find(';', at), cookie.size());
        if (cookie.compare(at, name.size(), name) == 0 && tokenMatches(cookie.substr(at + name.size(), end - at - name.size())))
            return {0, "", false};
        at = end;
    }
    return {403, "no access token: open the address veilcast tune printed", false};
}

}  // namespace veilcast::tune
