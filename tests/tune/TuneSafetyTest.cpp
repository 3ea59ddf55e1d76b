// SPDX-License-Identifier: Apache-2.0
// Requests the server must refuse, each followed by proof that it still
// serves and that nothing changed: the token, the Host header, origins,
// paths, numbers, and broken, huge or slow requests, over HTTP and over a
// raw socket.

#include "TuneFixture.h"

#include "HttpServer.h"
#include "RawClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

namespace {

using namespace rawclient;
using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---- requests the page could send, refused by what they ask ------------------

struct Refusal {
    const char* what;
    const char* method;  // GET or POST
    std::string target;
    std::string body;
    int status;
};

std::vector<Refusal> refusals()
{
    const std::string ok = R"({"name":"Clip Black","value":"0.1"})";
    const auto withImage = [](const std::string& image) {
        return R"({"name":"Clip Black","value":"0.1","image":)" + image + "}";
    };
    return {
        {"path outside the page", "GET", "/../../etc/passwd", "", 404},
        {"encoded path outside", "GET", "/%2e%2e/%2e%2e/etc/passwd", "", 404},
        {"a page file by path", "GET", "/web/app.js", "", 404},
        {"absolute path", "GET", "/etc/passwd", "", 404},
        {"file named in a parameter", "POST", "/api/save?file=/tmp/owned", "{}", 400},
        {"file named in the body", "POST", "/api/save", R"({"file":"/tmp/owned"})", 400},
        {"unknown parameter", "GET", "/api/state?path=x", "", 400},
        {"a parameter twice", "GET", "/api/probe?x=1&y=1&x=2", "", 400},
        {"malformed JSON", "POST", "/api/control", "{\"name\": ", 400},
        {"body not an object", "POST", "/api/control", "[1,2]", 400},
        {"field of the wrong type", "POST", "/api/control", R"({"name":3,"value":"1"})", 400},
        {"unknown control", "POST", "/api/control", R"({"name":"Nope","value":"1"})", 400},
        {"value of the wrong kind", "POST", "/api/control", R"({"name":"Clip Black","value":"red"})", 400},
        {"non-finite value", "POST", "/api/control", R"({"name":"Clip Black","value":"nan"})", 400},
        {"deeply nested body", "POST", "/api/control", std::string(5000, '[') + std::string(5000, ']'), 400},
        {"region too large", "GET", "/api/image?region=0,0,100000,100000", "", 400},
        {"region outside", "GET", "/api/image?region=-500,-500,10,10", "", 400},
        {"unknown view", "GET", "/api/image?view=../../x", "", 400},
        {"fit not numbers", "GET", "/api/image?fit=a,b", "", 400},
        {"probe outside", "GET", "/api/probe?x=99999&y=0", "", 400},
        {"probe one past the right edge", "GET", "/api/probe?x=64&y=0", "", 400},
        {"probe one past the bottom", "GET", "/api/probe?x=0&y=40", "", 400},
        {"probe one before the left edge", "GET", "/api/probe?x=-1&y=39", "", 400},
        {"probe number too large", "GET", "/api/probe?x=99999999999999999999&y=0", "", 400},
        {"image request not an object", "POST", "/api/control", withImage("3"), 400},
        {"image request with a path", "POST", "/api/control", withImage(R"({"file":"/tmp/owned"})"), 400},
        {"image request of a huge region", "POST", "/api/control", withImage(R"({"region":[0,0,99999,99999]})"), 400},
        {"pick box of three", "POST", "/api/pick", R"({"box":[1,2,3]})", 400},
        {"frame that is not there", "POST", "/api/frame", R"({"frame":7})", 400},
        {"GET of an action", "GET", "/api/save", "", 405},
        // Whole numbers are whole and in range: not truncated (1001.5 would
        // be frame 1001), wrapped (2^32 + 1001 would be too) or clamped.
        {"a fractional frame", "POST", "/api/frame", R"({"frame":1001.5})", 400},
        {"a frame past 32 bits that wraps to one", "POST", "/api/frame", R"({"frame":4294968297})", 400},
        {"a frame just past the largest", "POST", "/api/frame", R"({"frame":2147483648})", 400},
        {"a frame as an exponent", "POST", "/api/frame", R"({"frame":1.001e3})", 400},
        {"a frame as text", "POST", "/api/frame", R"({"frame":"1001"})", 400},
        {"a fractional pick box", "POST", "/api/pick", R"({"box":[2,3,20.5,30]})", 400},
        {"a pick box past 32 bits", "POST", "/api/pick", R"({"box":[2,3,4294967316,30]})", 400},
        {"a negative fit", "POST", "/api/control", withImage(R"({"fit":[-1,10]})"), 400},
        {"a fractional fit", "POST", "/api/control", withImage(R"({"fit":[10.5,10]})"), 400},
        {"a region past 32 bits", "POST", "/api/control", withImage(R"({"region":[0,0,4294967304,8]})"), 400},
        {"a negative fit in the address", "GET", "/api/image?fit=-1,10", "", 400},
        {"a fit of nothing in the address", "GET", "/api/image?fit=0,10", "", 400},
        {"a region wider than 32 bits in the address", "GET", "/api/image?region=0,0,4294967304,8", "", 400},
        {"a fractional probe", "GET", "/api/probe?x=1.5&y=0", "", 400},
    };
}

TEST_F(TuneTest, RefusesWhatItMustAndKeepsServing)
{
    for (const int f : {1001, 1002})
        fs::copy_file(plate, path("shot." + std::to_string(f) + ".exr"));
    serve(path("shot.####.exr"));
    post("/api/frame", {{"frame", 1002}});
    for (const Refusal& r : refusals()) {
        SCOPED_TRACE(r.what);
        const auto res = std::string(r.method) == "GET" ? client().Get(r.target.c_str())
                                                       : client().Post(r.target.c_str(), r.body, "application/json");
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, r.status) << res->body;
        EXPECT_FALSE(json::parse(res->body)["error"].get<std::string>().empty());
        // Still serving, and nothing changed or was written.
        const json state = get("/api/state");
        EXPECT_EQ(state["values"]["ClipBlackKnob"]["text"], "0");
        EXPECT_EQ(state["frame"], 1002);
    }
    EXPECT_FALSE(fs::exists("/tmp/owned"));
    EXPECT_FALSE(fs::exists(path("shot.keyer")));
}

// ---- requests refused at the door, and the bounds of a request ------------------

// Raw requests from `Host` up; {host} {token} {port} {other} are filled in.
struct Door {
    const char* what;
    std::string request;
    int status;
};

TEST_F(TuneTest, RefusedAtTheDoorAndClosed)
{
    serve(plate);
    const std::string token = server->token();
    std::string changed = token, firstChanged = token;
    changed.back() = changed.back() == '0' ? '1' : '0';
    firstChanged.front() = firstChanged.front() == '0' ? '1' : '0';
    // The right length and the right last byte, every other byte wrong.
    const std::string sameEnd = std::string(token.size() - 1, token[0] == 'f' ? 'e' : 'f') + token.back();
    const std::string host = "Host: {host}\r\n";
    const std::string state = "GET /api/state HTTP/1.1\r\n" + host;
    const std::string undo = "POST /api/undo HTTP/1.1\r\n" + host + "X-Veilcast-Token: {token}\r\nContent-Length: 2\r\n";
    std::string manyHeaders, bigHeader = "X-Big: " + std::string(20000, 'x') + "\r\n";
    for (int i = 0; i < 200; ++i)
        manyHeaders += "X-Filler-" + std::to_string(i) + ": 1\r\n";
    // The bounds to the line and the byte: the request line, Host and the
    // token, then fillers up to the limit or one past it.
    const std::string exact = "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->port()) +
                              "\r\nX-Veilcast-Token: " + token + "\r\n";
    const auto withLines = [&](std::size_t headerLines) {
        std::string head = exact;
        for (std::size_t i = 2; i < headerLines; ++i)
            head += "X-Filler-" + std::to_string(i) + ": 1\r\n";
        return head + "\r\n";
    };
    const auto ofBytes = [&](std::size_t bytes) {
        const std::string frame = exact + "X-Pad: \r\n\r\n";
        return exact + "X-Pad: " + std::string(bytes - frame.size(), 'p') + "\r\n\r\n";
    };
    const veilcast::tune::HttpOptions limits;
    const std::vector<Door> doors = {
        {"the right host and token", state + "X-Veilcast-Token: {token}\r\n\r\n", 200},
        // Host: only the address the server is bound to.
        {"localhost (may be ::1, another listener)", "GET /api/state HTTP/1.1\r\nHost: localhost:{port}\r\nX-Veilcast-Token: {token}\r\n\r\n", 421},
        {"[::1]", "GET /api/state HTTP/1.1\r\nHost: [::1]:{port}\r\nX-Veilcast-Token: {token}\r\n\r\n", 421},
        {"127.0.0.1 on another port", "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:{other}\r\nX-Veilcast-Token: {token}\r\n\r\n", 421},
        {"a rebinding attacker's name", "GET /api/state HTTP/1.1\r\nHost: attacker.example:{port}\r\nX-Veilcast-Token: {token}\r\n\r\n", 421},
        {"no port", "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Veilcast-Token: {token}\r\n\r\n", 421},
        {"no host", "GET /api/state HTTP/1.1\r\nX-Veilcast-Token: {token}\r\n\r\n", 421},
        {"two hosts", state + "Host: attacker.example\r\nX-Veilcast-Token: {token}\r\n\r\n", 400},
        // Origin: scheme, host and port, exactly.
        {"the page's own origin", undo + "Origin: http://{host}\r\n\r\n{}", 200},
        {"loopback, another port", undo + "Origin: http://127.0.0.1:1\r\n\r\n{}", 403},
        {"a name starting with localhost", undo + "Origin: http://localhost.attacker.example\r\n\r\n{}", 403},
        {"the port, then more", undo + "Origin: http://{host}.evil\r\n\r\n{}", 403},
        {"localhost", undo + "Origin: http://localhost:{port}\r\n\r\n{}", 403},
        {"https", undo + "Origin: https://{host}\r\n\r\n{}", 403},
        {"an opaque origin", undo + "Origin: null\r\n\r\n{}", 403},
        {"a pre-flight from another site",
         "OPTIONS /api/save HTTP/1.1\r\n" + host + "Origin: http://attacker.example\r\n"
         "Access-Control-Request-Method: POST\r\nAccess-Control-Request-Headers: x-veilcast-token\r\n\r\n", 403},
        {"a pre-flight from the page itself", "OPTIONS /api/save HTTP/1.1\r\n" + host + "X-Veilcast-Token: {token}\r\n\r\n", 405},
        // The token: whole, in its header.
        {"no token", state + "\r\n", 403},
        {"an empty token", state + "X-Veilcast-Token: \r\n\r\n", 403},
        {"the token but its last byte", state + "X-Veilcast-Token: " + token.substr(0, token.size() - 1) + "\r\n\r\n", 403},
        {"the token's first byte", state + "X-Veilcast-Token: " + token.substr(0, 1) + "\r\n\r\n", 403},
        {"the last byte changed", state + "X-Veilcast-Token: " + changed + "\r\n\r\n", 403},
        {"the first byte changed", state + "X-Veilcast-Token: " + firstChanged + "\r\n\r\n", 403},
        {"only the last byte right", state + "X-Veilcast-Token: " + sameEnd + "\r\n\r\n", 403},
        {"the token and one more byte", state + "X-Veilcast-Token: {token}0\r\n\r\n", 403},
        {"the right token in a cookie only", state + "Cookie: veilcast_tune_{port}={token}; token={token}\r\n\r\n", 403},
        {"the right token in the address of the API", "GET /api/state?token={token} HTTP/1.1\r\n" + host + "\r\n", 403},
        {"the token twice", state + "X-Veilcast-Token: {token}\r\nX-Veilcast-Token: {token}\r\n\r\n", 400},
        {"a wrong token in the page's address", "GET /?token=" + changed + " HTTP/1.1\r\n" + host + "\r\n", 403},
        {"an empty token in the page's address", "GET /?token= HTTP/1.1\r\n" + host + "\r\n", 403},
        {"the page without a token (public; it asks for the address)", "GET / HTTP/1.1\r\n" + host + "\r\n", 200},
        {"the page's script (public)", "GET /app.js HTTP/1.1\r\n" + host + "\r\n", 200},
        // The bounds of a request, checked before it is kept.
        {"many header lines", state + "X-Veilcast-Token: {token}\r\n" + manyHeaders + "\r\n", 431},
        {"an oversized head", state + "X-Veilcast-Token: {token}\r\n" + bigHeader + "\r\n", 431},
        {"the most header lines", withLines(limits.maxHeaderLines), 200},
        {"one header line too many", withLines(limits.maxHeaderLines + 1), 431},
        {"the largest head", ofBytes(limits.maxHeadBytes), 200},
        {"a head one byte too large", ofBytes(limits.maxHeadBytes + 1), 431},
        {"an oversized address", "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n" + host + "\r\n", 431},
        {"an action without a length", "POST /api/undo HTTP/1.1\r\n" + host + "X-Veilcast-Token: {token}\r\n\r\n", 411},
        {"a change without a length, its body after", "POST /api/control HTTP/1.1\r\n" + host +
             "X-Veilcast-Token: {token}\r\n\r\n{\"name\":\"Clip Black\",\"value\":\"0.3\"}", 411},
        {"a chunked body", "POST /api/undo HTTP/1.1\r\n" + host + "X-Veilcast-Token: {token}\r\n"
                           "Transfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", 411},
        {"a body longer than any of the page's", "POST /api/undo HTTP/1.1\r\n" + host +
                                                    "X-Veilcast-Token: {token}\r\nContent-Length: 100000\r\n\r\n{}", 413},
        {"two lengths", undo + "Content-Length: 20\r\n\r\n{}", 400},
        {"a folded header line", state + "X-Veilcast-Token: {token}\r\nX-A: 1\r\n folded\r\n\r\n", 400},
        {"a garbage request line", "HELLO\r\n\r\n", 400},
        {"a header without a colon", state + "X-Veilcast-Token: {token}\r\nCookie\r\n\r\n", 400},
        {"a negative length", undo.substr(0, undo.find("Content-Length")) + "Content-Length: -2\r\n\r\n{}", 400},
        {"another protocol version", "GET /api/state HTTP/9.9\r\n" + host + "\r\n", 505},
    };
    const std::string port = std::to_string(server->port());
    for (const Door& door : doors) {
        SCOPED_TRACE(door.what);
        std::string request = fill(door.request, "{host}", "127.0.0.1:" + port);
        request = fill(fill(fill(request, "{token}", token), "{port}", port), "{other}", std::to_string(server->port() + 1));
        const int fd = connectTo(server->port());
        ASSERT_GE(fd, 0);
        sendAll(fd, request);
        const Answer a = readAnswer(fd);
        EXPECT_EQ(a.status, door.status) << a.head << a.body;
        EXPECT_EQ(headerOf(a, "access-control-allow-origin"), "");
        EXPECT_EQ(headerOf(a, "set-cookie"), "");
        if (door.status >= 400) {
            // Every refusal says it closes, and does.
            EXPECT_EQ(headerOf(a, "connection"), "close");
            EXPECT_TRUE(closedAfterwards(fd));
        } else {
            EXPECT_EQ(headerOf(a, "connection"), "keep-alive");
        }
        close(fd);
        EXPECT_EQ(get("/api/state")["values"]["ClipBlackKnob"]["text"], "0");
    }
}

// A refused request's body, sent late or right behind it, is never read as
// a request: here each late body is a whole request with the right token
// that would change a control.
TEST_F(TuneTest, ARefusedRequestsLateBodyIsNotARequest)
{
    serve(plate);
    const std::string host = "Host: 127.0.0.1:" + std::to_string(server->port()) + "\r\n";
    const std::string smuggled = R"({"name":"Clip Black","value":"0.5"})";
    const std::string late = "POST /api/control HTTP/1.1\r\n" + host + "X-Veilcast-Token: " + server->token() +
                             "\r\nContent-Length: " + std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled;
    const std::string length = "Content-Length: " + std::to_string(late.size()) + "\r\n";
    const std::string broken = "{\"name\": ";
    const struct {
        const char* what;
        std::string head;
        int status;
        bool behind = false;  // the late request comes in the same write, right behind the refused one
    } cases[] = {
        {"no token", "POST /api/control HTTP/1.1\r\n" + host + length + "\r\n", 403},
        {"malformed JSON", "POST /api/control HTTP/1.1\r\n" + host + "X-Veilcast-Token: " + server->token() +
                               "\r\nContent-Length: " + std::to_string(broken.size()) + "\r\n\r\n" + broken, 400, true},
        {"an unknown parameter", "GET /api/state?path=x HTTP/1.1\r\n" + host + "X-Veilcast-Token: " + server->token() +
                                     "\r\n\r\n", 400, true},
        {"a header without a colon", "GET /api/state HTTP/1.1\r\n" + host + "Cookie\r\n\r\n", 400, true},
        {"a wrong path, the request behind it", "GET /api/nothing HTTP/1.1\r\n" + host + "X-Veilcast-Token: " +
                                                    server->token() + "\r\n\r\n", 404, true},
        {"a foreign origin", "POST /api/control HTTP/1.1\r\n" + host + "X-Veilcast-Token: " + server->token() +
                                 "\r\nOrigin: http://127.0.0.1:1\r\n" + length + "\r\n", 403},
        {"chunked", "POST /api/control HTTP/1.1\r\n" + host + "X-Veilcast-Token: " + server->token() +
                        "\r\nTransfer-Encoding: chunked\r\n\r\n", 411},
        {"too long", "POST /api/control HTTP/1.1\r\n" + host + "X-Veilcast-Token: " + server->token() +
                         "\r\nContent-Length: 99999999\r\n\r\n", 413},
        {"a wrong path", "POST /api/nothing HTTP/1.1\r\n" + host + "X-Veilcast-Token: " + server->token() + "\r\n" +
                             length + "\r\n", 404},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int fd = connectTo(server->port());
        ASSERT_GE(fd, 0);
        sendAll(fd, c.behind ? c.head + late : c.head);
        const Answer a = readAnswer(fd);  // refused on its head alone
        EXPECT_EQ(a.status, c.status) << a.head;
        EXPECT_EQ(headerOf(a, "connection"), "close");
        if (!c.behind)
            sendAll(fd, late);
        EXPECT_TRUE(closedAfterwards(fd)) << "a second answer came";
        close(fd);
        EXPECT_EQ(get("/api/state")["values"]["ClipBlackKnob"]["text"], "0");
    }
}

TEST_F(TuneTest, ASecondServerOnTheSamePortIsRefused)
{
    serve(plate);
    veilcast::tune::ServerOptions same;
    same.port = server->port();
    EXPECT_THROW(veilcast::tune::TuneServer(*session, same), veilcast::tune::PortInUse);
    // The tool says so and fails (were it to serve, the time limit ends it).
    const Result r = runVeilcast("tune '" + plate + "' --port " + std::to_string(server->port()), "timeout 20 ");
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("127.0.0.1:" + std::to_string(server->port()) + " is in use"), std::string::npos)
        << r.output;

    // A socket that offers to share its port (SO_REUSEADDR and SO_REUSEPORT,
    // as another user's server may) does not get to share it with a tuner.
    const int other = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(other, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(other, 4), 0);
    socklen_t size = sizeof address;
    getsockname(other, reinterpret_cast<sockaddr*>(&address), &size);
    same.port = ntohs(address.sin_port);
    EXPECT_THROW(veilcast::tune::TuneServer(*session, same), veilcast::tune::PortInUse);
    close(other);
}

// Many bare connections held open by anyone (every slot filled, again and
// again) close only connections that never showed the token: the page's
// idle keep-alive connection, once it has, still takes its next change.
TEST_F(TuneTest, HoldingManyOpenClosesNoConnectionThatShowedTheToken)
{
    constexpr std::size_t kSlots = 8;
    veilcast::tune::ServerOptions small;
    small.maxConnections = kSlots;
    const struct {
        const char* what;
        std::string first;  // the keep-alive connection's first request; {host} and {token} filled in
        bool kept;
    } cases[] = {
        {"the API with the token", "GET /api/state HTTP/1.1\r\nHost: {host}\r\nX-Veilcast-Token: {token}\r\n\r\n", true},
        {"the page's address with the token", "GET /?token={token} HTTP/1.1\r\nHost: {host}\r\n\r\n", true},
        {"the page without the token (proves nothing)", "GET / HTTP/1.1\r\nHost: {host}\r\n\r\n", false},
    };
    const std::string change = R"({"name":"Clip Black","value":"0.2"})";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        serve(plate, "", small);
        const std::string host = "127.0.0.1:" + std::to_string(server->port());
        const int kept = connectTo(server->port());
        ASSERT_GE(kept, 0);
        sendAll(kept, fill(fill(c.first, "{host}", host), "{token}", server->token()));
        ASSERT_EQ(readAnswer(kept).status, 200);
        // Three times the slots in bare connections, accepted in order: the
        // request after them is answered only once all were taken in.
        std::vector<int> bare;
        for (std::size_t i = 0; i < 3 * kSlots; ++i)
            bare.push_back(connectTo(server->port()));
        EXPECT_EQ(get("/api/state")["values"]["ClipBlackKnob"]["text"], "0");
        sendAll(kept, "POST /api/control HTTP/1.1\r\nHost: " + host + "\r\nX-Veilcast-Token: " + server->token() +
                          "\r\nContent-Length: " + std::to_string(change.size()) + "\r\n\r\n" + change);
        const Answer a = readAnswer(kept);
        EXPECT_EQ(a.status, c.kept ? 200 : 0) << a.head;
        EXPECT_EQ(get("/api/state")["values"]["ClipBlackKnob"]["text"], c.kept ? "0.2" : "0");
        close(kept);
        for (const int fd : bare)
            if (fd >= 0)
                close(fd);
        server.reset();
    }

    // Every slot held by a connection that showed the token: a newcomer is
    // turned away, and none of them is closed for it.
    serve(plate, "", small);
    const std::string host = "127.0.0.1:" + std::to_string(server->port());
    const std::string state = "GET /api/state HTTP/1.1\r\nHost: " + host + "\r\nX-Veilcast-Token: " + server->token() +
                              "\r\n\r\n";
    std::vector<int> proven;
    for (std::size_t i = 0; i < kSlots; ++i) {
        proven.push_back(connectTo(server->port()));
        ASSERT_GE(proven.back(), 0);
        sendAll(proven.back(), state);
        ASSERT_EQ(readAnswer(proven.back()).status, 200);
    }
    const int newcomer = connectTo(server->port());
    ASSERT_GE(newcomer, 0);
    sendAll(newcomer, state);
    EXPECT_EQ(readAnswer(newcomer).status, 0) << "a connection past the limit was answered";
    close(newcomer);
    for (const int fd : proven) {
        sendAll(fd, state);
        EXPECT_EQ(readAnswer(fd).status, 200);
        close(fd);
    }
}

// 64 clients trickle header lines; a request of the page's is still answered
// at once, and stopping does not wait for them. The times are printed: the
// bounds asserted are safety limits on a shared machine, not the target
// (which is well under a second).
TEST_F(TuneTest, SlowClientsHoldNothing)
{
    serve(plate);
    constexpr int kSlow = 64;
    std::vector<int> slow;
    for (int i = 0; i < kSlow; ++i) {
        const int fd = connectTo(server->port());
        ASSERT_GE(fd, 0);
        sendAll(fd, "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->port()) + "\r\n");
        slow.push_back(fd);
    }
    std::atomic<bool> trickling{true};
    std::thread trickle([&] {
        while (trickling) {
            for (const int fd : slow)
                sendAll(fd, "X-Slow: 1\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    std::vector<double> waits;
    for (int i = 0; i < 20; ++i) {
        const auto start = Clock::now();
        auto res = client().Get("/api/state");
        waits.push_back(millisecondsSince(start));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::sort(waits.begin(), waits.end());
    const auto stopping = Clock::now();
    server->stop();
    const double stopMs = millisecondsSince(stopping);
    trickling = false;
    trickle.join();
    for (const int fd : slow)
        close(fd);
    std::printf("with %d clients trickling header lines: a request answered in %.1f ms median, %.1f ms at most "
                "(%zu requests); stop took %.1f ms\n",
                kSlow, waits[waits.size() / 2], waits.back(), waits.size(), stopMs);
    EXPECT_LT(waits.back(), 3000.0);
    EXPECT_LT(stopMs, 3000.0);
}

// The whole request has one deadline, however its bytes trickle: a client
// still sending its head when it passes is answered 408 and closed.
TEST_F(TuneTest, ARequestHasOneDeadline)
{
    serve(plate);
    const int fd = connectTo(server->port());
    ASSERT_GE(fd, 0);
    const auto start = Clock::now();
    sendAll(fd, "GET /api/state HTTP/1.1\r\n");
    Answer a;
    // A header line every 200 ms: never 5 s of silence between reads.
    std::thread trickle([&] {
        for (int i = 0; i < 40; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            sendAll(fd, "X-Slow: 1\r\n");
        }
    });
    a = readAnswer(fd);
    const double took = millisecondsSince(start);
    trickle.join();
    close(fd);
    EXPECT_EQ(a.status, 408) << a.head;
    EXPECT_GT(took, 4000.0);
    EXPECT_LT(took, 9000.0);
}

}  // namespace
