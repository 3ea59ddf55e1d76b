// SPDX-License-Identifier: Apache-2.0
#include "HttpMessage.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace veilcast::tune {

const std::string* HttpRequest::header(std::string_view name) const
{
    for (const auto& [key, value] : headers)
        if (key == name)
            return &value;
    return nullptr;
}

std::string HttpRequest::headerValue(std::string_view name) const
{
    const std::string* value = header(name);
    return value ? *value : std::string();
}

bool HttpRequest::hasParam(std::string_view name) const
{
    return std::any_of(params.begin(), params.end(), [&](const auto& p) { return p.first == name; });
}

std::string HttpRequest::param(std::string_view name) const
{
    for (const auto& [key, value] : params)
        if (key == name)
            return value;
    return {};
}

void HttpResponse::setHeader(std::string name, std::string value)
{
    for (auto& [key, existing] : headers)
        if (key == name) {
            existing = std::move(value);
            return;
        }
    headers.emplace_back(std::move(name), std::move(value));
}

void HttpResponse::setContent(std::string content, std::string type)
{
    body = std::move(content);
    setHeader("Content-Type", std::move(type));
}

namespace {

// A header value goes out on one line whatever a handler put in it.
std::string oneLine(std::string text)
{
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

bool isTokenChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Headers a request may carry once only: two Host or Content-Length headers
// are how one request is read as two different ones.
bool singleValued(const std::string& name)
{
    return name == "host" || name == "content-length" || name == "origin" || name == "x-veilcast-token" ||
           name == "transfer-encoding";
}

}  // namespace

const char* reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 421: return "Misdirected Request";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
    }
}

std::string serialize(const HttpResponse& res, bool close,
                      const std::vector<std::pair<std::string, std::string>>& common)
{
    std::string out = "HTTP/1.1 " + std::to_string(res.status) + " " + reasonPhrase(res.status) + "\r\n";
    const auto has = [&](const std::string& name) {
        return std::any_of(res.headers.begin(), res.headers.end(), [&](const auto& h) { return h.first == name; });
    };
    for (const auto& [name, value] : common)
        if (!has(name))
            out += name + ": " + oneLine(value) + "\r\n";
    for (const auto& [name, value] : res.headers)
        if (name != "Content-Length" && name != "Connection")
            out += name + ": " + oneLine(value) + "\r\n";
    out += "Content-Length: " + std::to_string(res.body.size()) + "\r\n";
    out += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    out += res.body;
    return out;
}

std::optional<std::string> decodeQueryPart(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int hi = hexDigit(text[i + 1]), lo = hexDigit(text[i + 2]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<HeadError> parseHead(std::string_view head, HttpRequest& req, bool& close, std::size_t& bodyLength,
                                   std::size_t maxBody)
{
    std::vector<std::string_view> lines;
    for (std::size_t at = 0;;) {
        const std::size_t end = head.find("\r\n", at);
        lines.push_back(head.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos)
            break;
        at = end + 2;
    }
    // The request line: METHOD SP TARGET SP VERSION.
    const std::string_view line = lines.front();
    const std::size_t sp1 = line.find(' '), sp2 = line.find(' ', sp1 == line.npos ? line.npos : sp1 + 1);
    if (sp1 == line.npos || sp2 == line.npos || line.find(' ', sp2 + 1) != line.npos)
        return HeadError{400, "malformed request line"};
    req.method = std::string(line.substr(0, sp1));
    req.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
    const std::string_view version = line.substr(sp2 + 1);
    if (req.method.empty() || req.method.size() > 16 ||
        !std::all_of(req.method.begin(), req.method.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
        return HeadError{400, "malformed method"};
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return HeadError{version.substr(0, 5) == "HTTP/" ? 505 : 400, "only HTTP/1.1 is spoken here"};
    close = version == "HTTP/1.0";
    if (req.target.empty() || req.target.front() != '/' ||
        !std::all_of(req.target.begin(), req.target.end(), [](char c) { return c > 0x20 && c < 0x7f; }))
        return HeadError{400, "malformed request target"};
    const std::size_t question = req.target.find('?');
    req.path = req.target.substr(0, question);
    if (question != std::string::npos) {
        const std::string_view query = std::string_view(req.target).substr(question + 1);
        for (std::size_t at = 0; at <= query.size();) {
            const std::size_t amp = std::min(query.find('&', at), query.size());
            const std::string_view part = query.substr(at, amp - at);
            at = amp + 1;
            if (part.empty())
                continue;
            const std::size_t eq = part.find('=');
            const auto key = decodeQueryPart(part.substr(0, eq));
            const auto value = decodeQueryPart(eq == part.npos ? std::string_view() : part.substr(eq + 1));
            if (!key || !value)
                return HeadError{400, "malformed query"};
            req.params.emplace_back(*key, *value);
        }
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view field = lines[i];
        const std::size_t colon = field.find(':');
        if (colon == 0 || colon == field.npos)
            return HeadError{400, "malformed header line"};
        std::string name = lower(std::string(field.substr(0, colon)));
        if (!std::all_of(name.begin(), name.end(), isTokenChar))
            return HeadError{400, "malformed header name"};
        std::string_view value = field.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        if (std::any_of(value.begin(), value.end(),
                        [](char c) { return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f; }))
            return HeadError{400, "control character in a header"};
        if (singleValued(name) && req.header(name))
            return HeadError{400, "header given twice: " + name};
        req.headers.emplace_back(std::move(name), std::string(value));
    }
    // Bodies come with their length, never in chunks: a length known before
    // the body is read is what bounds it.
    if (req.header("transfer-encoding"))
        return HeadError{411, "send a Content-Length, not Transfer-Encoding"};
    bodyLength = 0;
    if (const std::string* length = req.header("content-length")) {
        if (length->empty() || length->size() > 18 ||
            !std::all_of(length->begin(), length->end(), [](char c) { return c >= '0' && c <= '9'; }))
            return HeadError{400, "malformed Content-Length"};
        bodyLength = std::stoull(*length);
        if (bodyLength > maxBody)
            return HeadError{413, "the body is larger than any request of the page"};
    }
    for (const auto& [name, value] : req.headers)
        if (name == "connection" && lower(value).find("close") != std::string::npos)
            close = true;
    return std::nullopt;
}

}  // namespace veilcast::tune
