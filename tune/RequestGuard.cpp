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

RequestGuard::RequestGuard(std::string token, int port) : token_(std::move(token)), port_(port)
{
    if (token_.empty())
        throw std::invalid_argument("the access token may not be empty");
}

std::string RequestGuard::host() const
{
    return "127.0.0.1:" + std::to_string(port_);
}

std::string RequestGuard::origin() const
{
    return "http://" + host();
}

bool RequestGuard::tokenMatches(const std::string& candidate) const
{
    // Every byte of the token is compared, and the lengths too, whatever the
    // candidate's length, so that neither an empty or a shortened token nor
    // the time taken tells anything. (Only the length can show in the time.)
    unsigned char diff = candidate.size() == token_.size() ? 0 : 1;
    for (std::size_t i = 0; i < token_.size(); ++i) {
        const unsigned char other = i < candidate.size() ? static_cast<unsigned char>(candidate[i]) : 0;
        diff |= static_cast<unsigned char>(other ^ static_cast<unsigned char>(token_[i]));
    }
    return diff == 0;
}

RequestGuard::Verdict RequestGuard::check(const std::string& host, const std::string& origin,
                                          const std::string* token, bool publicPage,
                                          const std::string* addressToken) const
{
    // DNS rebinding: a foreign name resolved to 127.0.0.1 still names itself
    // here. `localhost` is refused too: it may resolve to ::1, where this
    // server does not listen and another user's may.
    if (host != this->host())
        return {421, "this server answers only to " + this->host()};
    // Scheme, host and port, exactly: 127.0.0.1 on another port is another
    // user's page as much as any site is.
    if (!origin.empty() && origin != this->origin())
        return {403, "requests from other pages are refused"};
    if (publicPage) {
        if (addressToken && !tokenMatches(*addressToken))
            return {403, "wrong access token: use the address veilcast tune printed"};
        return {};
    }
    if (!token)
        return {403, "no access token: open the address veilcast tune printed"};
    if (!tokenMatches(*token))
        return {403, "wrong access token: open the address veilcast tune printed"};
    return {};
}

}  // namespace veilcast::tune
