// SPDX-License-Identifier: Apache-2.0
#include "veilcast/tune/TuneServer.h"

#include "HttpServer.h"
#include "RequestGuard.h"
#include "Views.h"
#include "WebAssets.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>

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

// The body as a JSON object holding no field but `allowed`: a field the
// server does not know (a file name, say) is refused, not ignored.
json parseBody(const HttpRequest& req, const std::set<std::string>& allowed)
{
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object())
        throw BadRequest("the body must be a JSON object");
    for (const auto& item : body.items())
        if (!allowed.count(item.key()))
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

// The colour chooser's value, "#rrggbb" or "rrggbb", as the linear colour the key composites over.
std::array<float, 3> chosenColour(const json& value)
{
    std::string text = value.is_string() ? value.get<std::string>() : std::string();
    if (!text.empty() && text.front() == '#')
        text.erase(0, 1);
    const auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (text.size() != 6 || !std::all_of(text.begin(), text.end(), isHex))
        throw BadRequest("\"bg\" must be a colour as #rrggbb, not " + value.dump().substr(0, 32));
    std::array<float, 3> linear{};
    for (std::size_t i = 0; i < 3; ++i)
        linear[i] = linearFromSrgbByte(static_cast<std::uint8_t>(std::stoi(text.substr(2 * i, 2), nullptr, 16)));
    return linear;
}

// What the viewer asks for, as a JSON object: {"view", "fit": [w, h],
// "region": [x, y, w, h], "bg": "#rrggbb"}. The only reader of a view
// request: an image's query comes here too (imageQuery).
ViewRequest viewRequest(const json& asked)
{
    if (!asked.is_object())
        throw BadRequest("\"image\" must be an object");
    ViewRequest view;
    for (const auto& item : asked.items()) {
        const std::string& key = item.key();
        if (key == "view") {
            const std::optional<View> named = parseView(field<std::string>(asked, "view"));
            if (!named)
                throw BadRequest("no such view: " + item.value().get<std::string>().substr(0, 32));
            view.view = *named;
        } else if (key == "fit") {
            const auto wh = wholeNumbers(item.value(), "fit", 2, {{1, kMaxFit}, {1, kMaxFit}});
            view.fitWidth = wh[0];
            view.fitHeight = wh[1];
        } else if (key == "region") {
            const auto r = wholeNumbers(item.value(), "region", 4,
                                        {{INT_MIN, INT_MAX}, {INT_MIN, INT_MAX}, {1, INT_MAX}, {1, INT_MAX}});
            view.region = std::array<int, 4>{r[0], r[1], r[2], r[3]};
        } else if (key == "bg") {
            view.background = chosenColour(item.value());
        } else {
            throw BadRequest("unexpected field: " + key.substr(0, 64));
        }
    }
    return view;
}

// An image's query (view=matte&fit=800,600) as the JSON object the page's
// changes send: lists split at commas, each part a number where it reads as
// one and left as text (to be refused as such) where it does not.
json imageQuery(const HttpRequest& req)
{
    json asked = json::object();
    for (const auto& [name, value] : req.params) {
        if (name != "fit" && name != "region") {
            asked[name] = value;
            continue;
        }
        json list = json::array();
        for (std::size_t at = 0;;) {
            const std::size_t comma = value.find(',', at);
            const std::string part = value.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
            const json number = json::parse(part, nullptr, false);
            list.push_back(number.is_number() ? number : json(part));
            if (comma == std::string::npos)
                break;
            at = comma + 1;
        }
        asked[name] = std::move(list);
    }
    return asked;
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

// One row of the route table: everything the server knows of a path. The
// same row admits a request and answers it, so nothing is admitted that has
// no answer, and nothing answered that was not admitted as such.
struct Route {
    const char* method;
    std::set<std::string> params;  // the query parameters it takes
    // The page's own files hold no secret and change nothing: they are served
    // without the token, which reaches the page in the address only.
    // Everything else wants it in the token header.
    bool needsToken;
    std::function<HttpResponse(const HttpRequest&)> answer;
};

// By the file's extension: a module script served as anything but JavaScript is refused by the browser.
std::string contentType(const std::string& name)
{
    const auto endsWith = [&](const std::string& ending) {
        return name.size() >= ending.size() && name.compare(name.size() - ending.size(), ending.size(), ending) == 0;
    };
    if (endsWith(".html"))
        return "text/html; charset=utf-8";
    if (endsWith(".js"))
        return "text/javascript; charset=utf-8";
    if (endsWith(".css"))
        return "text/css; charset=utf-8";
    throw std::logic_error("the page has a file of no known type: " + name);
}

}  // namespace

struct TuneServer::Impl {
    TuneSession& session;
    std::string token;
    std::unique_ptr<RequestGuard> guard;
    std::map<std::string, Route> routes;  // by path: every path the server knows
    std::unique_ptr<HttpServer> http;

    explicit Impl(TuneSession& s) : session(s) {}
    void addRoutes();
    HttpServer::Admission admit(const HttpRequest& req) const;
    static HttpResponse answer(const Route& route, const HttpRequest& req);
};

HttpServer::Admission TuneServer::Impl::admit(const HttpRequest& req) const
{
    const auto found = routes.find(req.path);
    const Route* route = found == routes.end() ? nullptr : &found->second;
    const bool publicPage = route && !route->needsToken && req.method == route->method;
    const std::string* addressToken = nullptr;
    if (publicPage && route->params.count("token"))
        for (const auto& [name, value] : req.params)
            if (name == "token")
                addressToken = &value;
    const RequestGuard::Verdict verdict = guard->check(req.headerValue("host"), req.headerValue("origin"),
                                                       req.header("x-veilcast-token"), publicPage, addressToken);
    if (verdict.status != 0)
        return {jsonResponse({{"error", verdict.reason}}, verdict.status)};
    // A request for anything but a route, or with a parameter its route does
    // not take, is refused before it reaches an answer: no request names a
    // file, and nothing unexpected is quietly ignored.
    if (!route)
        return {jsonResponse({{"error", "no such page"}}, 404)};
    if (req.method != route->method) {
        HttpResponse res = jsonResponse({{"error", "use " + std::string(route->method)}}, 405);
        res.setHeader("Allow", route->method);
        return {res};
    }
    // Every action takes a JSON body. Without a length its end is not known
    // (it would be read as empty, and the rest as the next request).
    if (req.method == "POST" && !req.header("content-length"))
        return {jsonResponse({{"error", "send the body with a Content-Length"}}, 411)};
    std::set<std::string> seen;
    for (const auto& [name, value] : req.params) {
        if (!route->params.count(name))
            return {jsonResponse({{"error", "unexpected parameter: " + name.substr(0, 64)}}, 400)};
        if (!seen.insert(name).second)
            return {jsonResponse({{"error", "parameter given twice: " + name.substr(0, 64)}}, 400)};
    }
    // Past the guard, a request of the API or an address with the token
    // checked is from a holder of the token; the bare page proves nothing.
    return {std::nullopt, !publicPage || addressToken != nullptr,
            [route](const HttpRequest& admitted) { return answer(*route, admitted); }};
}

HttpResponse TuneServer::Impl::answer(const Route& route, const HttpRequest& req)
{
    try {
        return route.answer(req);
    } catch (const BadRequest& e) {
        return jsonResponse({{"error", e.what()}}, 400);
    } catch (const std::exception& e) {
        return jsonResponse({{"error", e.what()}}, 500);
    }
}

void TuneServer::Impl::addRoutes()
{
    // The page: every embedded file, index.html at "/" (where the address
    // brings the token) and the others by name.
    for (const auto& [name, content] : webAssets()) {
        const bool index = name == "index.html";
        routes[index ? "/" : "/" + name] = {
            "GET", index ? std::set<std::string>{"token"} : std::set<std::string>{}, false,
            [body = std::string(content), type = contentType(name)](const HttpRequest&) {
                HttpResponse res;
                res.setContent(body, type);
                return res;
            }};
    }
    // An action answers with what it changed: the state that stays as it is
    // went to the page once, with /api/state.
    const auto action = [this](std::function<void(const json& body)> act, std::set<std::string> fields) {
        return Route{"POST", {}, true, [this, act, fields](const HttpRequest& req) {
                         act(parseBody(req, fields));
                         return jsonResponse(session.changes());
                     }};
    };
    routes["/api/controls"] = {"GET", {}, true, [this](const HttpRequest&) { return jsonResponse(session.controlTable()); }};
    routes["/api/state"] = {"GET", {}, true, [this](const HttpRequest&) { return jsonResponse(session.state()); }};
    routes["/api/image"] = {"GET", {"view", "fit", "region", "bg"}, true, [this](const HttpRequest& req) {
                                return imageResponse(session.render(viewRequest(imageQuery(req))));
                            }};
    routes["/api/probe"] = {"GET", {"x", "y"}, true, [this](const HttpRequest& req) {
                                if (!req.hasParam("x") || !req.hasParam("y"))
                                    throw BadRequest("give x and y");
                                return jsonResponse(session.probe(parseInt(req.param("x"), "x"), parseInt(req.param("y"), "y")));
                            }};
    routes["/api/control"] = {"POST", {}, true, [this](const HttpRequest& req) {
        const json body = parseBody(req, {"name", "value", "merge", "image"});
        const bool merge = body.contains("merge") ? field<bool>(body, "merge") : false;
        const std::optional<ViewRequest> view =
            body.contains("image") ? std::optional(viewRequest(body["image"])) : std::nullopt;
        if (view)
            session.checkView(*view);  // a request refused changes nothing
        session.setControl(field<std::string>(body, "name"), field<std::string>(body, "value"), merge);
        if (!view)
            return jsonResponse(session.changes());
        // Asked for the image too: it comes in the same answer, with what
        // changed in a header, saving a round trip on every move of a slider.
        const std::string changes = session.changes().dump(-1, ' ', true, json::error_handler_t::replace);
        HttpResponse res = imageResponse(session.render(*view));
        res.setHeader("X-State", changes);
        return res;
    }};
    routes["/api/undo"] = action([this](const json&) { session.undo(); }, {});
    routes["/api/redo"] = action([this](const json&) { session.redo(); }, {});
    routes["/api/pick"] = action([this](const json& body) {
        const auto box = wholeNumbers(member(body, "box"), "box", 4,
                                      {{INT_MIN, INT_MAX}, {INT_MIN, INT_MAX}, {INT_MIN, INT_MAX}, {INT_MIN, INT_MAX}});
        session.pickBox(box[0], box[1], box[2], box[3]);
    }, {"box"});
    routes["/api/auto"] = action([this](const json&) { session.autoKey(); }, {});
    routes["/api/frame"] = action([this](const json& body) { session.setFrame(wholeNumber(member(body, "frame"), "frame")); },
                                  {"frame"});
    routes["/api/save"] = {"POST", {}, true, [this](const HttpRequest& req) {
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
    // The guard needs the port, known once bound: requests are admitted only once it is there.
    s.http = std::make_unique<HttpServer>(http, [&s](const HttpRequest& req) { return s.admit(req); });
    s.guard = std::make_unique<RequestGuard>(s.token, s.http->port());
    s.http->start();
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

void TuneServer::stop()
{
    impl_->http->stop();
}

}  // namespace veilcast::tune
