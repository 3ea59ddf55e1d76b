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

namespace {

HttpResponse errorResponse(int status, const std::string& message)
{
    HttpResponse res;
    res.status = status;
    res.setContent(nlohmann::json{{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                   "application/json");
    return res;
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
