// SPDX-License-Identifier: Apache-2.0
// The tuner shares its connection slots and the process's descriptors with
// whoever can reach loopback: neither connections that never showed the
// token nor a process out of descriptors may keep the page unanswered, or
// make the server spin.

#include "TuneFixture.h"

#include "RawClient.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace {

using namespace rawclient;

std::string stateRequest(int port, const std::string& token)
{
    return "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nX-Veilcast-Token: " + token +
           "\r\n\r\n";
}

// Every slot taken by connections without the token, reading a head that
// never ends or writing answers that are never read (idle ones are in
// HoldingManyOpenClosesNoConnectionThatShowedTheToken): the page's requests,
// each on a new connection, are all answered.
TEST_F(TuneTest, ConnectionsWithoutTheTokenCannotHoldEverySlot)
{
    const veilcast::tune::ServerOptions defaults;
    constexpr int kPage = 8;
    const struct {
        const char* what;
        std::string send;  // {host} filled in
        bool tinyWindow;
    } cases[] = {
        {"a head begun, never finished", "GET / HTTP/1.1\r\nHost: {host}\r\n", false},
        // Far more than the socket buffers hold: the answers stall in writing.
        {"the page's script pipelined into a window never read", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        serve(plate);
        const std::string host = "127.0.0.1:" + std::to_string(server->port());
        std::string send = fill(c.send, "{host}", host);
        if (c.tinyWindow)
            for (int i = 0; i < 150; ++i)
                send += "GET /viewer.js HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
        std::vector<int> held;
        for (std::size_t i = 0; i < defaults.maxConnections; ++i) {
            held.push_back(connectTo(server->port(), c.tinyWindow ? 1 : 0));
            ASSERT_GE(held.back(), 0);
            sendAll(held.back(), send);
        }
        // Each has its answers coming before the page asks (a bounded wait).
        for (const int fd : held)
            if (c.tinyWindow) {
                pollfd p{fd, POLLIN, 0};
                ASSERT_EQ(poll(&p, 1, 10000), 1) << "no answer began";
            }
        int answered = 0;
        for (int i = 0; i < kPage; ++i) {
            const int fd = connectTo(server->port());
            ASSERT_GE(fd, 0);
            sendAll(fd, stateRequest(server->port(), server->token()));
            answered += readAnswer(fd).status == 200;
            close(fd);
        }
        std::printf("%zu connections without the token, %s: %d of %d of the page's requests answered\n",
                    held.size(), c.what, answered, kPage);
        EXPECT_EQ(answered, kPage);
        for (const int fd : held)
            close(fd);
        server.reset();
    }
}

// ---- out of descriptors -----------------------------------------------------------

double cpuSecondsOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // After the command's name, which is in parentheses and may hold spaces:
    // the state is field 3; utime and stime are fields 14 and 15.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stol(field);
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double cpuSecondsOfThisProcess()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The process's CPU time over an interval it should spend waiting.
constexpr auto kIdle = std::chrono::seconds(3);
constexpr double kMostCpuWhileIdle = 0.6;  // seconds; a spinning loop takes a core's worth

// The tool's descriptor limit, and how many idle connections flood it.
constexpr std::size_t kToolLimit = 128;
constexpr std::size_t kFlood = kToolLimit + 72;

struct OutOfDescriptors {
    double cpuSeconds = -1;   // used over kIdle
    int status = 0;           // of the page's request, once descriptors are free again
    std::size_t closedToMakeRoom = 0;  // of the idle connections, by the server
};

// `veilcast tune` under a descriptor limit below its connection limit,
// flooded with idle connections from this process (whose limit is its own).
OutOfDescriptors floodedUnderALowLimit(const std::string& plate)
{
    OutOfDescriptors out;
    const std::string command = "ulimit -n " + std::to_string(kToolLimit) + " && echo $$ && exec '" VEILCAST_BINARY
                                "' tune '" + plate + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    char line[4096];
    pid_t pid = -1;
    int port = 0;
    std::string token;
    for (int i = 0; i < 10 && port == 0 && fgets(line, sizeof line, pipe); ++i) {
        if (pid < 0)
            pid = std::atoi(line);
        if (const char* url = std::strstr(line, "http://127.0.0.1:")) {
            port = std::atoi(url + std::strlen("http://127.0.0.1:"));
            token = std::string(std::strstr(url, "token=") + 6);
            token.erase(token.find_last_not_of("\r\n") + 1);
        }
    }
    if (pid > 0 && port > 0) {
        std::vector<int> idle;
        for (std::size_t i = 0; i < kFlood; ++i)
            idle.push_back(connectTo(port));
        const double before = cpuSecondsOf(pid);
        std::this_thread::sleep_for(kIdle);
        out.cpuSeconds = cpuSecondsOf(pid) - before;
        // Those the server closed have the end of the stream waiting.
        for (const int fd : idle) {
            char c;
            if (fd >= 0 && recv(fd, &c, 1, MSG_DONTWAIT) == 0)
                ++out.closedToMakeRoom;
        }
        const int page = connectTo(port);
        sendAll(page, stateRequest(port, token));
        out.status = readAnswer(page).status;
        close(page);
        for (const int fd : idle)
            if (fd >= 0)
                close(fd);
    }
    if (pid > 0) {
        kill(pid, SIGINT);  // stops as Ctrl-C does
        while (fgets(line, sizeof line, pipe)) {
        }
    }
    pclose(pipe);
    return out;
}

// The server in this process, with every descriptor the process may have
// taken by something else; freed once the interval is over.
OutOfDescriptors usedUpElsewhere(const veilcast::tune::TuneServer& server)
{
    OutOfDescriptors out;
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    std::size_t open = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++open;
    }
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, open + 32);
    setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> taken;
    for (int fd; taken.size() < 64 && (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        taken.push_back(fd);
    if (taken.empty() || taken.size() == 64) {  // the limit did not hold
        for (const int fd : taken)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &saved);
        return out;
    }
    // One for the page's connection: the server has none left to accept it with.
    close(taken.back());
    taken.pop_back();
    const int page = connectTo(server.port());
    sendAll(page, stateRequest(server.port(), server.token()));
    const double before = cpuSecondsOfThisProcess();
    std::this_thread::sleep_for(kIdle);
    out.cpuSeconds = cpuSecondsOfThisProcess() - before;
    for (const int fd : taken)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    out.status = readAnswer(page).status;
    close(page);
    return out;
}

// Out of descriptors, the server waits for one without spinning, and
// answers the page again once there is one.
TEST_F(TuneTest, OutOfDescriptorsItWaitsAndAnswersAgain)
{
    serve(plate);
    const struct {
        const char* what;
        std::function<OutOfDescriptors()> run;
        bool sized;  // the connection limit is what the descriptor limit leaves room for
    } cases[] = {
        {"a descriptor limit below the connection limit", [&] { return floodedUnderALowLimit(plate); }, true},
        {"every descriptor used by the rest of the process", [&] { return usedUpElsewhere(*server); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const OutOfDescriptors out = c.run();
        std::printf("%s: %.2f s of CPU in %lld s out of descriptors\n", c.what, out.cpuSeconds,
                    static_cast<long long>(kIdle.count()));
        EXPECT_GE(out.cpuSeconds, 0.0);
        EXPECT_LT(out.cpuSeconds, kMostCpuWhileIdle);
        EXPECT_EQ(out.status, 200);
        if (c.sized) {  // the oldest made room at once, rather than waiting in the backlog
            EXPECT_GE(out.closedToMakeRoom, kFlood - kToolLimit);
        }
    }
}

}  // namespace
