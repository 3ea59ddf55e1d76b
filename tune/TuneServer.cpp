// SPDX-License-Identifier: Apache-2.0
#include "veilcast/tune/TuneServer.h"

#include "RequestGuard.h"
#include "WebAssets.h"

#include <httplib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <set>
#include <thread>

namespace veilcast::tune {

using nlohmann::json;

namespace {

// Bodies are small JSON objects; anything bigger is not from the page.
constexpr std::size_t kMaxBody = 16 * 1024;

// Every path the server knows, with the query parameters each accepts. A
// request for anything else is refused before it reaches a handler: no
// request names a file, and nothing unexpected is quietly ignored.
const std::map<std::string, std::set<std::string>>& knownPaths()
{
    static const std::map<std::string, std::set<std::string>> paths = {
        {"/", {"token"}},         {"/app.js", {}},       {"/style.css", {}},   {"/api/controls", {}},
        {"/api/state", {}},       {"/api/image", {"view", "fit", "region", "bg"}},
        {"/api/probe", {"x", "y"}}, {"/api/control", {}}, {"/api/undo", {}},   {"/api/redo", {}},
        {"/api/pick", {}},        {"/api/frame", {}},    {"/api/save", {}},
    };
    return paths;
}

int parseInt(const std::string& text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        throw BadRequest("not a whole number: " + text.substr(0, 32));
    return value;
}

// "a,b,c" into exactly `count` parts.
std::vector<std::string> splitList(const std::string& text, std::size_t count)
{
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (parts.size() < count + 1) {
        const std::size_t comma = text.find(',', at);
        parts.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    if (parts.size() != count)
        throw BadRequest("expected " + std::to_string(count) + " comma-separated values");
    return parts;
}

float parseFloat(const std::string& text)
{
    try {
        std::size_t used = 0;
        const float v = std::stof(text, &used);
        if (used == text.size() && std::isfinite(v))
            return v;
    } catch (const std::exception&) {
    }
    throw BadRequest("not a number: " + text.substr(0, 32));
}

// The body as a JSON object holding no field but `allowed`: a field the
// server does not know (a file name, say) is refused, not ignored.
json parseBody(const httplib::Request& req, std::initializer_list<const char*> allowed)
{
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object())
        throw BadRequest("the body must be a JSON object");
    for (const auto& item : body.items())
        if (std::none_of(allowed.begin(), allowed.end(), [&](const char* name) { return item.key() == name; }))
            throw BadRequest("unexpected field: " + item.key().substr(0, 64));
    return body;
}

template <class T>
T field(const json& body, const char* name)
{
    const auto found = body.find(name);
    if (found == body.end())
        throw BadRequest(std::string("missing \"") + name + "\"");
    try {
        return found->get<T>();
    } catch (const json::exception&) {
        throw BadRequest(std::string("\"") + name + "\" has the wrong type");
    }
}

void sendJson(httplib::Response& res, const json& value, int status = 200)
{
    res.status = status;
    // Invalid UTF-8 (a file name, say) is replaced rather than thrown on.
    res.set_content(value.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

ViewRequest viewRequest(const httplib::Request& req)
{
    ViewRequest view;
    if (req.has_param("view"))
        view.view = req.get_param_value("view");
    if (req.has_param("fit")) {
        const auto wh = splitList(req.get_param_value("fit"), 2);
        view.fitWidth = parseInt(wh[0]);
        view.fitHeight = parseInt(wh[1]);
    }
    if (req.has_param("region")) {
        const auto r = splitList(req.get_param_value("region"), 4);
        view.region = std::array<int, 4>{parseInt(r[0]), parseInt(r[1]), parseInt(r[2]), parseInt(r[3])};
    }
    if (req.has_param("bg")) {
        const auto c = splitList(req.get_param_value("bg"), 3);
        view.background = {parseFloat(c[0]), parseFloat(c[1]), parseFloat(c[2])};
    }
    return view;
}

// The same as the query, as a JSON object: {"view", "fit": [w, h], "region": [x, y, w, h], "bg": [r, g, b]}.
ViewRequest viewRequest(const json& asked)
{
    if (!asked.is_object())
        throw BadRequest("\"image\" must be an object");
    ViewRequest view;
    for (const auto& item : asked.items()) {
        const std::string& key = item.key();
        if (key == "view") {
            view.view = field<std::string>(asked, "view");
        } else if (key == "fit") {
            const auto wh = field<std::array<int, 2>>(asked, "fit");
            view.fitWidth = wh[0];
            view.fitHeight = wh[1];
        } else if (key == "region") {
            view.region = field<std::array<int, 4>>(asked, "region");
        } else if (key == "bg") {
            view.background = field<std::array<float, 3>>(asked, "bg");
            if (!std::all_of(view.background.begin(), view.background.end(), [](float v) { return std::isfinite(v); }))
                throw BadRequest("\"bg\" must be finite");
        } else {
            throw BadRequest("unexpected field: " + key.substr(0, 64));
        }
    }
    return view;
}

// Raw RGBA bytes for a canvas: no encoding to spend time on at either end,
// and over loopback the size costs little. Where the image sits goes in headers.
void sendImage(httplib::Response& res, ViewImage image)
{
    res.set_header("X-Width", std::to_string(image.width));
    res.set_header("X-Height", std::to_string(image.height));
    res.set_header("X-Scale", std::to_string(image.scale));
    res.set_header("X-Origin", std::to_string(image.originX) + "," + std::to_string(image.originY));
    res.set_header("X-Generation", std::to_string(image.generation));
    res.set_content(std::move(image.rgba), "application/octet-stream");
}

}  // namespace

struct TuneServer::Impl {
    TuneSession& session;
    httplib::Server http;
    std::string token;
    int port = 0;
    std::unique_ptr<RequestGuard> guard;
    std::thread thread;

    explicit Impl(TuneSession& s) : session(s) {}
    void routes();
    httplib::Server::HandlerResponse admit(const httplib::Request& req, httplib::Response& res);
};

httplib::Server::HandlerResponse TuneServer::Impl::admit(const httplib::Request& req, httplib::Response& res)
{
    using HR = httplib::Server::HandlerResponse;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");  // the address holds the token
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Content-Security-Policy", "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    const RequestGuard::Verdict verdict =
        guard->check(req.get_header_value("Host"), req.get_header_value("Cookie"),
                     req.path == "/" ? req.get_param_value("token") : "", req.get_header_value("Origin"));
    if (verdict.status != 0) {
        sendJson(res, {{"error", verdict.reason}}, verdict.status);
        return HR::Handled;
    }
    const auto known = knownPaths().find(req.path);
    if (known == knownPaths().end()) {
        sendJson(res, {{"error", "no such page"}}, 404);
        return HR::Handled;
    }
    for (const auto& [name, value] : req.params) {
        if (!known->second.count(name)) {
            sendJson(res, {{"error", "unexpected parameter: " + name.substr(0, 64)}}, 400);
            return HR::Handled;
        }
    }
    if (verdict.setCookie)
        res.set_header("Set-Cookie", guard->setCookieHeader());
    return HR::Unhandled;
}

void TuneServer::Impl::routes()
{
    const auto asset = [this](const char* name, const char* type) {
        http.Get(std::string("/") + (std::string(name) == "index.html" ? "" : name),
                 [name, type](const httplib::Request&, httplib::Response& res) {
                     const auto content = webAsset(name);
                     res.set_content(content ? std::string(*content) : std::string(), type);
                 });
    };
    asset("index.html", "text/html; charset=utf-8");
    asset("app.js", "text/javascript; charset=utf-8");
    asset("style.css", "text/css; charset=utf-8");

    http.Get("/api/controls", [this](const httplib::Request&, httplib::Response& res) {
        sendJson(res, session.controlTable());
    });
    http.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) { sendJson(res, session.state()); });
    http.Get("/api/image", [this](const httplib::Request& req, httplib::Response& res) {
        sendImage(res, session.render(viewRequest(req)));
    });
    http.Get("/api/probe", [this](const httplib::Request& req, httplib::Response& res) {
        if (!req.has_param("x") || !req.has_param("y"))
            throw BadRequest("give x and y");
        sendJson(res, session.probe(parseInt(req.get_param_value("x")), parseInt(req.get_param_value("y"))));
    });
    http.Post("/api/control", [this](const httplib::Request& req, httplib::Response& res) {
        const json body = parseBody(req, {"name", "value", "merge", "image"});
        const bool merge = body.contains("merge") ? field<bool>(body, "merge") : false;
        const std::optional<ViewRequest> view =
            body.contains("image") ? std::optional(viewRequest(body["image"])) : std::nullopt;
        if (view)
            session.checkView(*view);  // a request refused changes nothing
        session.setControl(field<std::string>(body, "name"), field<std::string>(body, "value"), merge);
        if (!view) {
            sendJson(res, session.state());
            return;
        }
        // Asked for the image too: it comes in the same answer, with the
        // state in a header, saving a round trip on every move of a slider.
        const std::string state = session.state().dump(-1, ' ', true, json::error_handler_t::replace);
        sendImage(res, session.render(*view));
        res.set_header("X-State", state);
    });
    http.Post("/api/undo", [this](const httplib::Request& req, httplib::Response& res) {
        parseBody(req, {});
        session.undo();
        sendJson(res, session.state());
    });
    http.Post("/api/redo", [this](const httplib::Request& req, httplib::Response& res) {
        parseBody(req, {});
        session.redo();
        sendJson(res, session.state());
    });
    http.Post("/api/pick", [this](const httplib::Request& req, httplib::Response& res) {
        const json body = parseBody(req, {"box", "auto"});
        if (body.contains("auto") && field<bool>(body, "auto")) {
            session.pickAuto();
        } else {
            const auto box = field<std::vector<int>>(body, "box");
            if (box.size() != 4)
                throw BadRequest("box takes x0, y0, x1, y1");
            session.pickBox(box[0], box[1], box[2], box[3]);
        }
        sendJson(res, session.state());
    });
    http.Post("/api/frame", [this](const httplib::Request& req, httplib::Response& res) {
        session.setFrame(field<int>(parseBody(req, {"frame"}), "frame"));
        sendJson(res, session.state());
    });
    http.Post("/api/save", [this](const httplib::Request& req, httplib::Response& res) {
        parseBody(req, {});
        sendJson(res, session.save());
    });

    http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const BadRequest& e) {
            sendJson(res, {{"error", e.what()}}, 400);
        } catch (const std::exception& e) {
            sendJson(res, {{"error", e.what()}}, 500);
        } catch (...) {
            sendJson(res, {{"error", "internal error"}}, 500);
        }
    });
    // Errors httplib answers itself (a body too large, a bad request line) get a body saying so.
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty())
            sendJson(res, {{"error", "refused (HTTP " + std::to_string(res.status) + ")"}}, res.status);
    });
}

TuneServer::TuneServer(TuneSession& session, const ServerOptions& options) : impl_(std::make_unique<Impl>(session))
{
    Impl& s = *impl_;
    s.token = options.token.empty() ? randomToken() : options.token;
    s.http.set_payload_max_length(kMaxBody);
    // A client that stops sending mid-request must not hold a worker for long.
    s.http.set_read_timeout(5, 0);
    s.http.set_write_timeout(10, 0);
    s.http.set_keep_alive_timeout(5);
    if (options.port == 0) {
        s.port = s.http.bind_to_any_port("127.0.0.1");
        if (s.port <= 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
    } else {
        if (options.port < 0 || options.port > 65535 || !s.http.bind_to_port("127.0.0.1", options.port))
            throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(options.port) +
                                     " (in use? leave out --port for a free one)");
        s.port = options.port;
    }
    s.guard = std::make_unique<RequestGuard>(s.token, s.port);
    s.http.set_pre_routing_handler([&s](const httplib::Request& req, httplib::Response& res) { return s.admit(req, res); });
    s.routes();
}

TuneServer::~TuneServer()
{
    stop();
}

int TuneServer::port() const
{
    return impl_->port;
}

const std::string& TuneServer::token() const
{
    return impl_->token;
}

std::string TuneServer::url() const
{
    return "http://127.0.0.1:" + std::to_string(impl_->port) + "/?token=" + impl_->token;
}

void TuneServer::start()
{
    impl_->thread = std::thread([this] { impl_->http.listen_after_bind(); });
}

void TuneServer::stop()
{
    impl_->http.stop();
    if (impl_->thread.joinable())
        impl_->thread.join();
}

}  // namespace veilcast::tune
