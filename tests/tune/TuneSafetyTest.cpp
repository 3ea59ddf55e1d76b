// SPDX-License-Identifier: Apache-2.0
// Requests the server must refuse, each followed by proof that it still
// serves: the token, the Host header, origins, paths, and broken or huge
// requests, over HTTP and over a raw socket.

#include "TuneFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>

namespace {

struct Refusal {
    const char* what;
    const char* method;  // GET or POST
    std::string target;
    // Cookie (with the right token unless "wrong"/"none"), Host, Origin.
    std::string token;   // "cookie", "wrong", "none", "query", "wrong-query"
    std::string host;    // "" = the right one; else sent as is
    std::string origin;  // "" = none
    std::string body;
    int status;
};

std::vector<Refusal> refusals(int port)
{
    const std::string p = std::to_string(port);
    const std::string ok = R"({"name":"Clip Black","value":"0.1"})";
    return {
        {"no token", "GET", "/api/state", "none", "", "", "", 403},
        {"no token for the page", "GET", "/", "none", "", "", "", 403},
        {"wrong token in the cookie", "GET", "/api/state", "wrong", "", "", "", 403},
        {"wrong token in the address", "GET", "/?token=0123", "wrong-query", "", "", "", 403},
        {"no token, setting a control", "POST", "/api/control", "none", "", "", ok, 403},
        {"foreign host (DNS rebinding)", "GET", "/api/state", "cookie", "attacker.example:" + p, "", "", 421},
        {"foreign host, no port", "GET", "/api/state", "cookie", "127.0.0.1", "", "", 421},
        {"loopback on another port", "GET", "/api/state", "cookie", "127.0.0.1:1", "", "", 421},
        {"post from another site", "POST", "/api/control", "cookie", "", "http://attacker.example", ok, 403},
        {"path outside the page", "GET", "/../../etc/passwd", "cookie", "", "", "", 404},
        {"encoded path outside", "GET", "/%2e%2e/%2e%2e/etc/passwd", "cookie", "", "", "", 404},
        {"a page file by path", "GET", "/web/app.js", "cookie", "", "", "", 404},
        {"absolute path", "GET", "/etc/passwd", "cookie", "", "", "", 404},
        {"file named in a parameter", "POST", "/api/save?file=/tmp/owned", "cookie", "", "", "{}", 400},
        {"file named in the body", "POST", "/api/save", "cookie", "", "", R"({"file":"/tmp/owned"})", 400},
        {"unknown parameter", "GET", "/api/state?path=x", "cookie", "", "", "", 400},
        {"malformed JSON", "POST", "/api/control", "cookie", "", "", "{\"name\": ", 400},
        {"body not an object", "POST", "/api/control", "cookie", "", "", "[1,2]", 400},
        {"field of the wrong type", "POST", "/api/control", "cookie", "", "", R"({"name":3,"value":"1"})", 400},
        {"unknown control", "POST", "/api/control", "cookie", "", "", R"({"name":"Nope","value":"1"})", 400},
        {"value of the wrong kind", "POST", "/api/control", "cookie", "", "", R"({"name":"Clip Black","value":"red"})", 400},
        {"non-finite value", "POST", "/api/control", "cookie", "", "", R"({"name":"Clip Black","value":"nan"})", 400},
        {"deeply nested body", "POST", "/api/control", "cookie", "", "", std::string(5000, '[') + std::string(5000, ']'), 400},
        {"huge body", "POST", "/api/control", "cookie", "", "", std::string(1 << 20, ' '), 413},
        {"region too large", "GET", "/api/image?region=0,0,100000,100000", "cookie", "", "", "", 400},
        {"region outside", "GET", "/api/image?region=-500,-500,10,10", "cookie", "", "", "", 400},
        {"unknown view", "GET", "/api/image?view=../../x", "cookie", "", "", "", 400},
        {"fit not numbers", "GET", "/api/image?fit=a,b", "cookie", "", "", "", 400},
        {"probe outside", "GET", "/api/probe?x=99999&y=0", "cookie", "", "", "", 400},
        {"probe number too large", "GET", "/api/probe?x=99999999999999999999&y=0", "cookie", "", "", "", 400},
        {"image request not an object", "POST", "/api/control", "cookie", "", "", R"({"name":"Clip Black","value":"0.1","image":3})", 400},
        {"image request with a path", "POST", "/api/control", "cookie", "", "", R"({"name":"Clip Black","value":"0.1","image":{"file":"/tmp/owned"}})", 400},
        {"image request of a huge region", "POST", "/api/control", "cookie", "", "", R"({"name":"Clip Black","value":"0.1","image":{"region":[0,0,99999,99999]}})", 400},
        {"pick box of three", "POST", "/api/pick", "cookie", "", "", R"({"box":[1,2,3]})", 400},
        {"frame that is not there", "POST", "/api/frame", "cookie", "", "", R"({"frame":7})", 400},
        {"GET of an action", "GET", "/api/save", "cookie", "", "", "", 404},
    };
}

TEST_F(TuneTest, RefusesWhatItMustAndKeepsServing)
{
    serve(plate);
    for (const Refusal& r : refusals(server->port())) {
        SCOPED_TRACE(r.what);
        httplib::Client c("127.0.0.1", server->port());
        httplib::Headers headers;
        if (r.token == "cookie" || r.token == "query")
            headers.emplace("Cookie", cookie());
        if (r.token == "wrong")
            headers.emplace("Cookie", "veilcast_tune_" + std::to_string(server->port()) + "=" + std::string(64, 'a'));
        if (!r.host.empty())
            headers.emplace("Host", r.host);
        if (!r.origin.empty())
            headers.emplace("Origin", r.origin);
        const auto res = std::string(r.method) == "GET"
                             ? c.Get(r.target.c_str(), headers)
                             : c.Post(r.target.c_str(), headers, r.body, "application/json");
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, r.status) << res->body;
        EXPECT_TRUE(res->get_header_value("Set-Cookie").empty());
        // Still serving, and nothing changed or was written.
        EXPECT_EQ(get("/api/state")["values"]["ClipBlackKnob"]["text"], "0");
    }
    EXPECT_FALSE(fs::exists("/tmp/owned"));
    EXPECT_FALSE(fs::exists(path("plate.keyer")));
}

TEST_F(TuneTest, TokenInTheAddressBecomesACookieForThisPortOnly)
{
    serve(plate);
    httplib::Client c("127.0.0.1", server->port());
    const auto page = c.Get(("/?token=" + server->token()).c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<canvas"), std::string::npos);
    EXPECT_EQ(page->get_header_value("Set-Cookie"),
              "veilcast_tune_" + std::to_string(server->port()) + "=" + server->token() +
                  "; Path=/; HttpOnly; SameSite=Strict");
    // The token is for the page only: the API wants the cookie.
    EXPECT_EQ(c.Get(("/api/state?token=" + server->token()).c_str())->status, 403);
    EXPECT_EQ(server->url(), "http://127.0.0.1:" + std::to_string(server->port()) + "/?token=" + server->token());
    EXPECT_EQ(server->token().size(), 64u);
}

// Raw bytes: what no HTTP client would send.
std::string exchange(int port, const std::string& request, bool closeWrite = true)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return "connect failed";
    }
    (void)!write(fd, request.data(), request.size());
    if (closeWrite)
        shutdown(fd, SHUT_WR);
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        answer.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return answer.substr(0, answer.find("\r\n"));
}

TEST_F(TuneTest, MalformedRequestsGetAnAnswerAndDoNotStallTheServer)
{
    serve(plate);
    const int port = server->port();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    struct Case {
        const char* what;
        std::string request;
    } cases[] = {
        {"garbage request line", "HELLO\r\n\r\n"},
        {"bad version", "GET / HTTP/9.9\r\n" + host + "\r\n"},
        {"header without colon", "GET /api/state HTTP/1.1\r\n" + host + "Cookie\r\n\r\n"},
        {"enormous header", "GET /api/state HTTP/1.1\r\n" + host + "X-Big: " + std::string(100000, 'x') + "\r\n\r\n"},
        {"enormous address", "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\n" + host + "\r\n"},
        {"body shorter than declared", "POST /api/control HTTP/1.1\r\n" + host + "Cookie: " + cookie() +
                                           "\r\nContent-Length: 100\r\n\r\n{}"},
        {"negative length", "POST /api/control HTTP/1.1\r\n" + host + "Content-Length: -5\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string status = exchange(port, c.request);
        // Either a 4xx answer or the connection closed without one; never a 2xx or 5xx.
        if (!status.empty()) {
            EXPECT_TRUE(status.rfind("HTTP/1.1 4", 0) == 0) << status;
        }
        EXPECT_EQ(get("/api/state")["frame"], 0);
    }

    // A client that sends half a request and waits holds one connection, not the server.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string half = "GET /api/state HTTP/1.1\r\n" + host;
    (void)!write(fd, half.data(), half.size());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get("/api/state")["frame"], 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    close(fd);
}

}  // namespace
