// SPDX-License-Identifier: Apache-2.0
#include "veilcast/tune/TuneServer.h"

#include "HttpServer.h"
#include "RequestGuard.h"
#include "WebAssets.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <functional>
#include <map>
#include <set>

namespace veilcast::tune {

using nlohmann::json;

namespace {

// Bodies are small JSON objects; anything bigger is not from the page.
constexpr std::size_t kMaxBody = 16 * 1024;

// The largest fit a view may ask for, as the session renders it.
constexpr long long kMaxFit = 16384;

// A whole number in [lo, hi] from a query parameter: "1.5", "2147483648" and
// "-1" where only positive numbers make sense are refused, not rounded,
// wrapped or clamped.
int parseInt(const std::string& text, const std::string& what, long long lo = INT_MIN, long long hi = INT_MAX)
{
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        throw BadRequest(what + " is not a whole number: " + text.substr(0, 32));
    if (value < lo || value > hi)
        throw BadRequest(what + " must be between " + std::to_string(lo) + " and " + std::to_string(hi) + ", not " +
                         text.substr(0, 32));
    return static_cast<int>(value);
}

// The same for a JSON value: an integer literal (not 1.5, not 1e3) in range.
int wholeNumber(const json& value, const std::string& what, long long lo = INT_MIN, long long hi = INT_MAX)
{
    if (!value.is_number_integer())
        throw BadRequest(what + " must be a whole number, not " + value.dump().substr(0, 32));
    long long number = LLONG_MAX;
    if (!value.is_number_unsigned() || value.get<unsigned long long>() <= static_cast<unsigned long long>(LLONG_MAX))
        number = value.get<long long>();
    if (number < lo || number > hi)
        throw BadRequest(what + " must be between " + std::to_string(lo) + " and " + std::to_string(hi) + ", not " +
                         value.dump().substr(0, 32));
    return static_cast<int>(number);
}

// A JSON array of exactly `count` whole numbers, each in its range.
std::vector<int> wholeNumbers(const json& value, const std::string& what, std::size_t count,
                              std::initializer_list<std::pair<long long, long long>> ranges)
{
    if (!value.is_array() || value.size() != count)
        throw BadRequest(what + " takes " + std::to_string(count) + " whole numbers");
    std::vector<int> numbers;
    auto range = ranges.begin();
    for (std::size_t i = 0; i < count; ++i, ++range)
        numbers.push_back(wholeNumber(value[i], what + "[" + std::to_string(i) + "]", range->first, range->second));
    return numbers;
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
json parseBody(const HttpRequest& req, std::initializer_list<const char*> allowed)
{
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object())
        throw BadRequest("the body must be a JSON object");
    for (const auto& item : body.items())
        if (std::none_of(allowed.begin(), allowed.end(), [&](const char* name) { return item.key() == name; }))
            throw BadRequest("unexpected field: " + item.key().substr(0, 64));
    return body;
}

const json& member(const json& body, const char* name)
{
    const auto found = body.find(name);
    if (found == body.end())
        throw BadRequest(std::string("missing \"") + name + "\"");
    return *found;
}

template <class T>
T field(const json& body, const char* name)
{
    try {
        return member(body, name).get<T>();
    } catch (const json::exception&) {
        throw BadRequest(std::string("\"") + name + "\" has the wrong type");
    }
}

HttpResponse jsonResponse(const json& value, int status = 200)
{
    HttpResponse res;
    res.status = status;
    // Invalid UTF-8 (a file name, say) is replaced rather than thrown on.
    res.setContent(value.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
    return res;
}

ViewRequest viewRequest(const HttpRequest& req)
{
    ViewRequest view;
    if (req.hasParam("view"))
        view.view = req.param("view");
    if (req.hasParam("fit")) {
        const auto wh = splitList(req.param("fit"), 2);
        view.fitWidth = parseInt(wh[0], "fit width", 1, kMaxFit);
        view.fitHeight = parseInt(wh[1], "fit height", 1, kMaxFit);
    }
    if (req.hasParam("region")) {
        const auto r = splitList(req.param("region"), 4);
        view.region = std::array<int, 4>{parseInt(r[0], "region x"), parseInt(r[1], "region y"),
                                         parseInt(r[2], "region width", 1), parseInt(r[3], "region height", 1)};
    }
    if (req.hasParam("bg")) {
        const auto c = splitList(req.param("bg"), 3);
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
            const auto wh = wholeNumbers(item.value(), "fit", 2, {{1, kMaxFit}, {1, kMaxFit}});
            view.fitWidth = wh[0];
            view.fitHeight = wh[1];
        } else if (key == "region") {
            const auto r = wholeNumbers(item.value(), "region", 4,
                                        {{INT_MIN, INT_MAX}, {INT_MIN, INT_MAX}, {1, INT_MAX}, {1, INT_MAX}});
            view.region = std::array<int, 4>{r[0], r[1], r[2], r[3]};
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
HttpResponse imageResponse(ViewImage image)
{
    HttpResponse res;
    res.setHeader("X-Width", std::to_string(image.width));
    res.setHeader("X-Height", std::to_string(image.height));
    res.setHeader("X-Scale", std::to_string(image.scale));
    res.setHeader("X-Origin", std::to_string(image.originX) + "," + std::to_string(image.originY));
    res.setHeader("X-Generation", std::to_string(image.generation));
    res.setContent(std::move(image.rgba), "application/octet-stream");
    return res;
}

struct Route {
    const char* method;
    std::set<std::string> params;  // the query parameters it takes
    std::function<HttpResponse(const HttpRequest&)> answer;
};

// The page, its script and its style hold no secret and change nothing:
// they are served without the token, which reaches the page in the address
// only. Everything else wants it in the token header.
bool isPublicPage(const std::string& method, const std::string& path)
{
    return method == "GET" && (path == "/" || path == "/app.js" || path == "/style.css");
}

}  // namespace

struct TuneServer::Impl {
    TuneSession& session;
    std::string token;
    std::unique_ptr<RequestGuard> guard;
    std::map<std::string, Route> routes;  // by path
    std::unique_ptr<HttpServer> http;

    explicit Impl(TuneSession& s) : session(s) {}
    void addRoutes();
    HttpServer::Admission admit(const HttpRequest& req) const;
    HttpResponse answer(const HttpRequest& req) const;
};

HttpServer::Admission TuneServer::Impl::admit(const HttpRequest& req) const
{
    const std::string* addressToken = nullptr;
    for (const auto& [name, value] : req.params)
        if (name == "token" && req.path == "/")
            addressToken = &value;
    const bool publicPage = isPublicPage(req.method, req.path);
    const RequestGuard::Verdict verdict = guard->check(req.headerValue("host"), req.headerValue("origin"),
                                                       req.header("x-veilcast-token"), publicPage, addressToken);
    if (verdict.status != 0)
        return {jsonResponse({{"error", verdict.reason}}, verdict.status)};
    // Every path the server knows, with the query parameters each accepts. A
    // request for anything else is refused before it reaches a handler: no
    // request names a file, and nothing unexpected is quietly ignored.
    const auto route = routes.find(req.path);
    if (route == routes.end())
        return {jsonResponse({{"error", "no such page"}}, 404)};
    if (req.method != route->second.method) {
        HttpResponse res = jsonResponse({{"error", "use " + std::string(route->second.method)}}, 405);
        res.setHeader("Allow", route->second.method);
        return {res};
    }
    // Every action takes a JSON body. Without a length its end is not known
    // (it would be read as empty, and the rest as the next request).
    if (req.method == "POST" && !req.header("content-length"))
        return {jsonResponse({{"error", "send the body with a Content-Length"}}, 411)};
    std::set<std::string> seen;
    for (const auto& [name, value] : req.params) {
        if (!route->second.params.count(name))
            return {jsonResponse({{"error", "unexpected parameter: " + name.substr(0, 64)}}, 400)};
        if (!seen.insert(name).second)
            return {jsonResponse({{"error", "parameter given twice: " + name.substr(0, 64)}}, 400)};
    }
    // Past the guard, a request of the API or an address with the token
    // checked is from a holder of the token; the bare page proves nothing.
    return {std::nullopt, !publicPage || addressToken != nullptr};
}

HttpResponse TuneServer::Impl::answer(const HttpRequest& req) const
{
    try {
        return routes.at(req.path).answer(req);
    } catch (const BadRequest& e) {
        return jsonResponse({{"error", e.what()}}, 400);
    } catch (const std::exception& e) {
        return jsonResponse({{"error", e.what()}}, 500);
    }
}

void TuneServer::Impl::addRoutes()
{
    const auto asset = [](const char* name, const char* type) {
        return [name, type](const HttpRequest&) {
            HttpResponse res;
            const auto content = webAsset(name);
            res.setContent(content ? std::string(*content) : std::string(), type);
            return res;
        };
    };
    routes["/"] = {"GET", {"token"}, asset("index.html", "text/html; charset=utf-8")};
    routes["/app.js"] = {"GET", {}, asset("app.js", "text/javascript; charset=utf-8")};
    routes["/style.css"] = {"GET", {}, asset("style.css", "text/css; charset=utf-8")};

    routes["/api/controls"] = {"GET", {}, [this](const HttpRequest&) { return jsonResponse(session.controlTable()); }};
    routes["/api/state"] = {"GET", {}, [this](const HttpRequest&) { return jsonResponse(session.state()); }};
    routes["/api/image"] = {"GET", {"view", "fit", "region", "bg"}, [this](const HttpRequest& req) {
                                return imageResponse(session.render(viewRequest(req)));
                            }};
    routes["/api/probe"] = {"GET", {"x", "y"}, [this](const HttpRequest& req) {
                                if (!req.hasParam("x") || !req.hasParam("y"))
                                    throw BadRequest("give x and y");
                                return jsonResponse(session.probe(parseInt(req.param("x"), "x"), parseInt(req.param("y"), "y")));
                            }};
    routes["/api/control"] = {"POST", {}, [this](const HttpRequest& req) {
        const json body = parseBody(req, {"name", "value", "merge", "image"});
        const bool merge = body.contains("merge") ? field<bool>(body, "merge") : false;
        const std::optional<ViewRequest> view =
            body.contains("image") ? std::optional(viewRequest(body["image"])) : std::nullopt;
        if (view)
            session.checkView(*view);  // a request refused changes nothing
        session.setControl(field<std::string>(body, "name"), field<std::string>(body, "value"), merge);
        if (!view)
            return jsonResponse(session.state());
        // Asked for the image too: it comes in the same answer, with the
        // state in a header, saving a round trip on every move of a slider.
        const std::string state = session.state().dump(-1, ' ', true, json::error_handler_t::replace);
        HttpResponse res = imageResponse(session.render(*view));
        res.setHeader("X-State", state);
        return res;
    }};
    routes["/api/undo"] = {"POST", {}, [this](const HttpRequest& req) {
                               parseBody(req, {});
                               session.undo();
                               return jsonResponse(session.state());
                           }};
    routes["/api/redo"] = {"POST", {}, [this](const HttpRequest& req) {
                               parseBody(req, {});
                               session.redo();
                               return jsonResponse(session.state());
                           }};
    routes["/api/pick"] = {"POST", {}, [this](const HttpRequest& req) {
        const json body = parseBody(req, {"box", "auto"});
        if (body.contains("auto") && field<bool>(body, "auto")) {
            session.pickAuto();
        } else {
            const auto box = wholeNumbers(member(body, "box"), "box", 4,
                                          {{INT_MIN, INT_MAX}, {INT_MIN, INT_MAX}, {INT_MIN, INT_MAX}, {INT_MIN, INT_MAX}});
            session.pickBox(box[0], box[1], box[2], box[3]);
        }
        return jsonResponse(session.state());
    }};
    routes["/api/frame"] = {"POST", {}, [this](const HttpRequest& req) {
                                session.setFrame(wholeNumber(member(parseBody(req, {"frame"}), "frame"), "frame"));
                                return jsonResponse(session.state());
                            }};
    routes["/api/save"] = {"POST", {}, [this](const HttpRequest& req) {
                               parseBody(req, {});
                               return jsonResponse(session.save());
                           }};
}

TuneServer::TuneServer(TuneSession& session, const ServerOptions& options) : impl_(std::make_unique<Impl>(session))
{
    Impl& s = *impl_;
    s.token = options.token.empty() ? randomToken() : options.token;
    s.addRoutes();
    HttpOptions http;
    http.port = options.port;
    http.maxConnections = options.maxConnections;
    http.commonHeaders = {
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},  // the first address holds the token
        {"X-Frame-Options", "DENY"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
        {"Cross-Origin-Opener-Policy", "same-origin"},
        {"Content-Security-Policy", "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; form-action 'none'"},
    };
    // The guard needs the port, known once bound: admit() runs only after start().
    s.http = std::make_unique<HttpServer>(
        http, [&s](const HttpRequest& req) { return s.admit(req); },
        [&s](const HttpRequest& req) { return s.answer(req); });
    s.guard = std::make_unique<RequestGuard>(s.token, s.http->port());
}

TuneServer::~TuneServer()
{
    stop();
}

int TuneServer::port() const
{
    return impl_->http->port();
}

const std::string& TuneServer::token() const
{
    return impl_->token;
}

std::string TuneServer::url() const
{
    return "http://127.0.0.1:" + std::to_string(port()) + "/?token=" + impl_->token;
}

void TuneServer::start()
{
    impl_->http->start();
}

void TuneServer::stop()
{
    impl_->http->stop();
}

}  // namespace veilcast::tune
