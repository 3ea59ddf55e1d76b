// SPDX-License-Identifier: Apache-2.0
#pragma once

// HTTP/1.1 messages as the tuner's server reads and writes them: a request's
// head parsed and checked, and an answer serialised. No sockets here, so
// that every byte a client can send reaches this code in a fuzzer too.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veilcast::tune {

struct HttpRequest {
    std::string method, target, path;                           // path: the target up to '?', as sent
    std::vector<std::pair<std::string, std::string>> params;   // the query, decoded, in order
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;

    // The header's value; nullptr when absent. `name` in lower case.
    const std::string* header(std::string_view name) const;
    std::string headerValue(std::string_view name) const;  // "" when absent
    bool hasParam(std::string_view name) const;
    std::string param(std::string_view name) const;  // "" when absent
};

struct HttpResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    void setHeader(std::string name, std::string value);
    void setContent(std::string content, std::string type);
};

struct HeadError {
    int status;
    std::string reason;
};

// The head without its closing blank line, into `req`; the status to refuse
// it with otherwise. `close`: the client asked for the connection to end
// after the answer (or spoke HTTP/1.0); `bodyLength`: the body's length,
// at most `maxBody`.
std::optional<HeadError> parseHead(std::string_view head, HttpRequest& req, bool& close, std::size_t& bodyLength,
                                   std::size_t maxBody);

// One part of a query (a name or a value): %XX and '+' decoded; nullopt for
// a broken escape.
std::optional<std::string> decodeQueryPart(std::string_view text);

const char* reasonPhrase(int status);

// The answer as sent: `common` headers first unless the answer has its own,
// the length and the connection's fate set here whatever the answer says.
std::string serialize(const HttpResponse& res, bool close,
                      const std::vector<std::pair<std::string, std::string>>& common);

}  // namespace veilcast::tune
