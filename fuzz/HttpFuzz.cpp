// SPDX-License-Identifier: Apache-2.0
// Bytes as the head of a request to the tuner, as any local client can send
// them. Each head is parsed or refused with one of the statuses the server
// refuses heads with; what is parsed keeps what the server relies on (the
// path is the target up to '?', names are lower case, no value holds a line
// break, the body fits its bound); and echoed into an answer, no value
// breaks the answer's head into more lines.

#include "HttpMessage.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using namespace veilcast::tune;

constexpr std::size_t kMaxBody = 16 * 1024;

void require(bool holds)
{
    if (!holds)
        std::abort();
}

std::size_t linesOf(const std::string& text)
{
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2)
        ++lines;
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    HttpRequest req;
    bool close = false;
    std::size_t bodyLength = 0;
    if (const auto error = parseHead(bytes, req, close, bodyLength, kMaxBody)) {
        require(error->status == 400 || error->status == 411 || error->status == 413 || error->status == 505);
        require(!error->reason.empty());
        return 0;
    }
    require(!req.target.empty() && req.target.front() == '/');
    require(req.path == req.target.substr(0, req.target.find('?')));
    require(bodyLength <= kMaxBody);
    for (const auto& [name, value] : req.headers) {
        require(!name.empty());
        require(std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; }));
        require(value.find_first_of("\r\n") == std::string::npos);
    }

    // Handlers put what they like in an answer's headers (the state in one
    // of them): the request's own text, raw bytes included, stands in.
    HttpResponse res;
    for (const auto& [name, value] : req.headers)
        res.setHeader("X-" + name, value);
    res.setHeader("X-Raw", bytes);
    for (const auto& [name, value] : req.params)
        res.setHeader("X-Param", name + "=" + value);
    res.setContent(req.target, "text/plain");
    const std::vector<std::pair<std::string, std::string>> common = {{"Cache-Control", "no-store"}};
    const std::string out = serialize(res, close, common);
    require(out.size() > res.body.size() && out.compare(out.size() - res.body.size(), res.body.size(), res.body) == 0);
    const std::string head = out.substr(0, out.size() - res.body.size());
    // The status line, Cache-Control, the answer's headers, Content-Length,
    // Connection, and the blank line.
    require(linesOf(head) == 1 + common.size() + res.headers.size() + 2 + 1);
    require(head.find("\r\n\r\n") == head.size() - 4);
    return 0;
}
