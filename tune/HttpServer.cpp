// SPDX-License-Identifier: Apache-2.0
#include "HttpServer.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

namespace veilcast::tune {

using Clock = std::chrono::steady_clock;

// ---- requests and responses ---------------------------------------------------

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

HttpResponse errorResponse(int status, const std::string& message)
{
    HttpResponse res;
    res.status = status;
    res.setContent(nlohmann::json{{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                   "application/json");
    return res;
}

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

// A header value goes out on one line whatever a handler put in it.
std::string oneLine(std::string text)
{
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
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

// %XX and '+' decoded; nullopt for a broken escape.
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

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

struct HeadError {
    int status;
    std::string reason;
};

// Headers a request may carry once only: two Host or Content-Length headers
// are how one request is read as two different ones.
bool singleValued(const std::string& name)
{
    return name == "host" || name == "content-length" || name == "origin" || name == "x-veilcast-token" ||
           name == "transfer-encoding";
}

// The head without its closing blank line, into `req`; the status to refuse
// it with otherwise.
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

void closeQuietly(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

// Each connection takes a descriptor, and the process needs more of its own
// (frames to read, the settings file to write, the libraries' files): were
// the connections to take the last one, accepting would fail and so would
// everything else the page asks for. They get at most three quarters of what
// is free when the server starts.
std::size_t connectionsTheDescriptorsAllow(std::size_t wanted)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return wanted;
    std::size_t open = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error))
        ++open;
    const std::size_t free = limit.rlim_cur > open ? static_cast<std::size_t>(limit.rlim_cur) - open : 0;
    const std::size_t kept = std::max<std::size_t>(16, free / 4);
    return std::clamp<std::size_t>(free > kept ? free - kept : 0, 1, std::max<std::size_t>(1, wanted));
}

// How long the listening socket is left alone when no descriptor is free for
// a connection and none of ours closes meanwhile (one may close elsewhere).
constexpr std::chrono::milliseconds kAcceptRetry{250};

}  // namespace

// ---- the connection loop ------------------------------------------------------

struct HttpServer::Impl {
    enum class State { Reading, Working, Writing, Draining };
    struct Connection {
        int fd = -1;
        State state = State::Reading;
        std::string in;        // received, not yet part of an answered request
        bool headRead = false;
        bool closeAfter = false;
        bool proven = false;   // a request of it was admitted as from a holder of the secret
        std::size_t bodyLength = 0;
        HttpRequest request;   // once its head is read
        Handler handler;       // once it is admitted
        std::string out;
        std::size_t sent = 0;
        Clock::time_point since, deadline;
    };
    struct Job {
        std::uint64_t id;
        HttpRequest request;
        Handler handler;
    };

    HttpOptions options;
    Admit admit;
    int listenFd = -1, wakeFd = -1, port = 0;
    // Until then the listening socket is not watched: accepting failed for
    // want of a descriptor.
    Clock::time_point acceptPausedUntil;
    std::map<std::uint64_t, Connection> connections;
    std::uint64_t nextId = 1;

    std::mutex mutex;
    std::condition_variable jobReady;
    std::deque<Job> jobs;
    std::vector<std::pair<std::uint64_t, HttpResponse>> answers;
    bool stopping = false;  // under mutex
    std::thread loop;
    std::vector<std::thread> workers;

    void wake()
    {
        const std::uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
    }
    bool stopRequested()
    {
        std::lock_guard lock(mutex);
        return stopping;
    }

    void run();
    void work();
    void accept();
    void readFrom(std::uint64_t id, Connection& c);
    void take(std::uint64_t id, Connection& c);
    void answer(Connection& c, const HttpResponse& res, bool close);
    void writeTo(std::uint64_t id, Connection& c);
    void ready(Connection& c);
    void drop(std::uint64_t id);
};

void HttpServer::Impl::ready(Connection& c)
{
    c.state = State::Reading;
    c.headRead = false;
    c.request = HttpRequest();
    c.handler = nullptr;
    c.since = Clock::now();
    c.deadline = c.since + options.requestTime;
}

void HttpServer::Impl::drop(std::uint64_t id)
{
    const auto found = connections.find(id);
    if (found == connections.end())
        return;
    closeQuietly(found->second.fd);
    connections.erase(found);
    acceptPausedUntil = Clock::time_point();  // a descriptor is free
}

void HttpServer::Impl::answer(Connection& c, const HttpResponse& res, bool close)
{
    // A refusal closes the connection: whatever the client sends after it
    // (the body of a refused request, say) is never read as a request.
    close = close || c.closeAfter || res.status >= 400;
    c.closeAfter = close;
    c.out = serialize(res, close, options.commonHeaders);
    c.sent = 0;
    c.state = State::Writing;
    c.deadline = Clock::now() + options.answerTime;
}

// Takes a request from what has arrived, if it is whole; refuses it as soon
// as it breaks a bound.
void HttpServer::Impl::take(std::uint64_t id, Connection& c)
{
    if (!c.headRead) {
        const std::size_t end = c.in.find("\r\n\r\n");
        const std::size_t headSize = end == std::string::npos ? c.in.size() : end + 4;
        const std::size_t lines =
            static_cast<std::size_t>(std::count(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(headSize), '\n'));
        // The request line and the blank line are not header lines.
        if (headSize > options.maxHeadBytes || lines > options.maxHeaderLines + 2) {
            answer(c, errorResponse(431, "the request head is too large"), true);
            return;
        }
        if (end == std::string::npos)
            return;
        bool close = false;
        const auto error = parseHead(std::string_view(c.in).substr(0, end), c.request, close, c.bodyLength,
                                     options.maxBodyBytes);
        c.in.erase(0, end + 4);
        if (error) {
            answer(c, errorResponse(error->status, error->reason), true);
            return;
        }
        c.closeAfter = close;
        c.headRead = true;
        Admission admission = admit(c.request);
        if (admission.refusal) {
            answer(c, *admission.refusal, true);
            return;
        }
        c.proven = c.proven || admission.proven;
        c.handler = std::move(admission.handler);
    }
    if (c.in.size() < c.bodyLength)
        return;
    c.request.body = c.in.substr(0, c.bodyLength);
    c.in.erase(0, c.bodyLength);
    c.state = State::Working;
    {
        std::lock_guard lock(mutex);
        jobs.push_back({id, std::move(c.request), std::move(c.handler)});
    }
    jobReady.notify_one();
}

void HttpServer::Impl::readFrom(std::uint64_t id, Connection& c)
{
    char buffer[16 * 1024];
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0) {  // closed by the client (or broken): nothing to answer
        drop(id);
        return;
    }
    if (c.state == State::Draining)
        return;  // read only to be dropped
    c.in.append(buffer, static_cast<std::size_t>(n));
    take(id, c);
}

void HttpServer::Impl::writeTo(std::uint64_t id, Connection& c)
{
    while (c.sent < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n <= 0) {
            drop(id);
            return;
        }
        c.sent += static_cast<std::size_t>(n);
    }
    c.out.clear();
    c.out.shrink_to_fit();
    if (c.closeAfter) {
        // Closing with unread bytes would reset the connection and could
        // lose the answer: end our side, then drop what still comes a while.
        ::shutdown(c.fd, SHUT_WR);
        c.in.clear();
        c.state = State::Draining;
        c.deadline = Clock::now() + options.lingerTime;
        return;
    }
    ready(c);
    if (!c.in.empty())  // the client sent its next request already
        take(id, c);
    if (c.state == State::Writing)
        writeTo(id, c);
}

void HttpServer::Impl::accept()
{
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors the connection stays in the backlog and the
            // socket stays readable: watched, it would wake the loop at once,
            // again and again, for nothing.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil = Clock::now() + kAcceptRetry;
            return;  // EAGAIN, or an error the next poll will show again
        }
        if (connections.size() >= options.maxConnections) {
            // Full: of the connections that never showed the secret, the one
            // longest on its request makes room, so holding many open cannot
            // lock others out. Whatever it is doing: one that pipelines
            // requests for the page's files and never reads its answers sits
            // in writing as long as one that sends nothing sits in reading.
            // Never one that showed the secret: a page's idle keep-alive
            // connection looks the same as a bare one held open by anyone,
            // and closing it could lose the page's next change.
            auto oldest = connections.end();
            for (auto it = connections.begin(); it != connections.end(); ++it)
                if (!it->second.proven && (oldest == connections.end() || it->second.since < oldest->second.since))
                    oldest = it;
            if (oldest == connections.end()) {
                ::close(fd);
                continue;
            }
            drop(oldest->first);
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Connection& c = connections[nextId++];
        c.fd = fd;
        ready(c);
    }
}

void HttpServer::Impl::run()
{
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    while (!stopRequested()) {
        const bool listening = Clock::now() >= acceptPausedUntil;
        fds.assign({{listening ? listenFd : -1, POLLIN, 0}, {wakeFd, POLLIN, 0}});
        ids.assign(2, 0);
        Clock::time_point next = Clock::now() + std::chrono::seconds(1);
        if (!listening)
            next = std::min(next, acceptPausedUntil);
        for (const auto& [id, c] : connections) {
            short events = 0;
            if (c.state == State::Reading || c.state == State::Draining)
                events = POLLIN;
            else if (c.state == State::Writing)
                events = POLLOUT;
            if (c.state != State::Working)
                next = std::min(next, c.deadline);
            // Not watched while its answer is made: a client that hung up
            // would otherwise wake the loop again and again until then.
            fds.push_back({c.state == State::Working ? -1 : c.fd, events, 0});
            ids.push_back(id);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        if (::poll(fds.data(), fds.size(), static_cast<int>(std::clamp<long long>(wait + 1, 0, 1000))) < 0 &&
            errno != EINTR)
            break;
        if (stopRequested())
            break;

        if (fds[1].revents) {
            std::uint64_t count;
            (void)!::read(wakeFd, &count, sizeof count);
            std::vector<std::pair<std::uint64_t, HttpResponse>> done;
            {
                std::lock_guard lock(mutex);
                done.swap(answers);
            }
            for (auto& [id, res] : done) {
                const auto found = connections.find(id);
                if (found == connections.end())
                    continue;
                answer(found->second, res, false);
                writeTo(id, found->second);
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            const auto found = connections.find(ids[i]);
            if (found == connections.end())
                continue;
            Connection& c = found->second;
            if (c.state == State::Reading || c.state == State::Draining)
                readFrom(ids[i], c);
            else if (c.state == State::Writing)
                writeTo(ids[i], c);
        }
        // Deadlines: a request not whole in time is refused; an answer not
        // taken in time, or a refused client's leftovers, are dropped.
        const auto now = Clock::now();
        std::vector<std::uint64_t> expired;
        for (auto& [id, c] : connections)
            if (c.state != State::Working && c.deadline <= now)
                expired.push_back(id);
        for (const std::uint64_t id : expired) {
            Connection& c = connections[id];
            if (c.state == State::Reading && (c.headRead || !c.in.empty())) {
                answer(c, errorResponse(408, "the request took too long to arrive"), true);
                writeTo(id, c);  // one try: the client is not waited for
                if (connections.count(id) && connections[id].state == State::Writing)
                    drop(id);
            } else {
                drop(id);
            }
        }
        if (fds[0].revents)
            accept();
    }
    for (auto& [id, c] : connections)
        closeQuietly(c.fd);
    connections.clear();
}

void HttpServer::Impl::work()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex);
            jobReady.wait(lock, [&] { return stopping || !jobs.empty(); });
            if (stopping)
                return;
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        HttpResponse res;
        try {
            if (!job.handler)
                throw std::logic_error("a request was admitted with nothing to answer it");
            res = job.handler(job.request);
        } catch (const std::exception& e) {
            res = errorResponse(500, e.what());
        } catch (...) {
            res = errorResponse(500, "internal error");
        }
        {
            std::lock_guard lock(mutex);
            answers.emplace_back(job.id, std::move(res));
        }
        wake();
    }
}

HttpServer::HttpServer(const HttpOptions& options, Admit admit) : impl_(std::make_unique<Impl>())
{
    Impl& s = *impl_;
    s.options = options;
    s.admit = std::move(admit);
    if (options.port < 0 || options.port > 65535)
        throw std::runtime_error("no such port: " + std::to_string(options.port));
    s.listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s.listenFd < 0)
        throw std::runtime_error(std::string("cannot make a socket: ") + std::strerror(errno));
    // SO_REUSEADDR only lets a restart bind past the last run's closed
    // connections; on Linux it never lets two sockets listen on one port.
    // (No SO_REUSEPORT: that would share the port, and its requests, with
    // a second server.)
    const int one = 1;
    ::setsockopt(s.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(options.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string where = "127.0.0.1:" + std::to_string(options.port);
    if (::bind(s.listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(s.listenFd, 128) != 0) {
        const int error = errno;
        closeQuietly(s.listenFd);
        if (error == EADDRINUSE)
            throw PortInUse(where + " is in use (another tuner, or another program); leave out --port for a free one");
        throw std::runtime_error("cannot listen on " + where + ": " + std::strerror(error));
    }
    socklen_t length = sizeof address;
    ::getsockname(s.listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    s.port = ntohs(address.sin_port);
    s.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.wakeFd < 0) {
        closeQuietly(s.listenFd);
        throw std::runtime_error(std::string("cannot make an eventfd: ") + std::strerror(errno));
    }
    s.options.maxConnections = connectionsTheDescriptorsAllow(options.maxConnections);
}

HttpServer::~HttpServer()
{
    stop();
    closeQuietly(impl_->listenFd);
    closeQuietly(impl_->wakeFd);
}

int HttpServer::port() const
{
    return impl_->port;
}

void HttpServer::start()
{
    Impl& s = *impl_;
    for (int i = 0; i < std::max(1, s.options.workers); ++i)
        s.workers.emplace_back([&s] { s.work(); });
    s.loop = std::thread([&s] { s.run(); });
}

void HttpServer::stop()
{
    Impl& s = *impl_;
    {
        std::lock_guard lock(s.mutex);
        s.stopping = true;
    }
    s.jobReady.notify_all();
    s.wake();
    if (s.loop.joinable())
        s.loop.join();
    for (std::thread& worker : s.workers)
        if (worker.joinable())
            worker.join();
    s.workers.clear();
    // No new connection waits in the backlog for a loop that is gone.
    closeQuietly(s.listenFd);
    s.listenFd = -1;
}

}  // namespace veilcast::tune
