#include "collector/server.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "collector/fleet_sum.h"
#include "collector/people.h"

using nlohmann::json;

namespace {

// The most points one answer of /api/series holds (a fleet's month would not fit in memory),
// and of sums one answer of /api/total holds (a chart is narrower than that).
constexpr std::size_t kMostPoints = 200000;
constexpr int64_t kMostSums = 5000;

int64_t now() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

// Answers `status` with a one-line reason, which the log line repeats.
HttpResponse refuse(int status, const std::string& reason) {
    return HttpResponse{status, "text/plain", reason + "\n", {}};
}

HttpResponse content(std::string body, const char* type) {
    return HttpResponse{200, type, std::move(body), {}};
}

const std::string* param(const HttpRequest& req, const char* name) {
    auto it = req.query.find(name);
    return it == req.query.end() ? nullptr : &it->second;
}

// The query's seconds parameter `name`; nullopt when absent, false in `ok` when not a number
// in range.
std::optional<int64_t> secondsParam(const HttpRequest& req, const char* name, bool& ok) {
    const std::string* text = param(req, name);
    if (!text) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0' || errno == ERANGE) ok = false;
    return value;
}

// Parses `body` into `document`, one large body at a time.
std::string parseInTurn(RouteContext& context, const std::string& body, Document& document) {
    std::unique_lock<std::mutex> turn(context.largeParse, std::defer_lock);
    if (body.size() >= kLargeBody) turn.lock();
    return parseDocument(body, document);
}

HttpResponse ingest(RouteContext& context, const HttpRequest& req) {
    Store& store = context.store;
    const std::string* token = param(req, "token");
    if (!token) return refuse(401, "no token");
    std::optional<std::string> router = store.routerOf(tokenHash(*token));
    if (!router) return refuse(401, "unknown token");
    Document document;
    std::string reason = parseInTurn(context, req.body, document);
    if (!reason.empty()) return refuse(400, *router + ": " + reason);
    int64_t received = now();
    placeUnsynced(document, received);
    if (document.at > received + kMostAhead) {
        return refuse(400, *router + ": \"systemDateTime\" " + document.time +
                               " is more than a day ahead of the collector's clock");
    }
    bool added = store.add(*router, document, received);
    return content(added ? "stored\n" : "stored before\n", "text/plain");
}

bool seriesQuery(const HttpRequest& req, SeriesQuery& query) {
    bool ok = true;
    if (const std::string* router = param(req, "router")) query.router = *router;
    query.from = secondsParam(req, "from", ok).value_or(0);
    query.to = secondsParam(req, "to", ok).value_or(INT64_MAX);
    return ok;
}

// Written as the points come, none of them kept: the answer's text is all it holds.
HttpResponse series(Store& store, const HttpRequest& req, bool csv) {
    SeriesQuery query;
    if (!seriesQuery(req, query)) return refuse(400, "from and to are seconds");
    PeopleEstimates people(store, query);
    std::string text = csv ? csvHeader(people.any()) : "[";
    std::string name, quoted;
    std::size_t count = 0;
    if (query.from <= query.to) {
        eachPointWithPeople(store, query, people, [&](const Point& p) {
            if (++count > kMostPoints) return false;
            if (csv) {
                appendCsv(text, p, people.any());
            } else {
                appendJson(text, p, name, quoted);
            }
            return true;
        });
    }
    if (count > kMostPoints) {
        return refuse(413, "more than " + std::to_string(kMostPoints) +
                               " points: ask for a shorter range or one router");
    }
    if (csv) return content(std::move(text), "text/csv");
    return content(text + ']', "application/json");
}

// The fleet's sum over the range, in at most kMostSums steps of at least `step` seconds.
HttpResponse total(Store& store, const HttpRequest& req) {
    SeriesQuery query;
    bool ok = seriesQuery(req, query);
    int64_t step = secondsParam(req, "step", ok).value_or(1);
    if (!ok || step < 1) return refuse(400, "from, to and step are seconds");
    query.router.reset();
    query.from = std::max<int64_t>(query.from, 0);
    query.to = std::min<int64_t>(query.to, now() + kMostAhead);
    if (query.from > query.to) return content("[]", "application/json");
    FleetSum sum(step, kMostSums);
    store.eachPoint(query, [&](const Point& p) {
        sum.add(p);
        return true;
    });
    return content(sumJson(sum.finish()), "application/json");
}

// POST /api/calibration?router=NAME with `time,people` lines as the body.
HttpResponse postCalibration(Store& store, const HttpRequest& req) {
    const std::string* router = param(req, "router");
    if (!router) return refuse(400, "no router");
    CalibrationAnswer answer = calibrateRouter(store, *router, req.body, now());
    if (answer.status != 200) return refuse(answer.status, answer.text);
    return content(answer.text + "\n", "text/plain");
}

// The text of a person estimate: one decimal.
std::string peopleText(double people) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", people);
    return text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A CSV field: quoted when it holds a separator, quote or line end.
std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + '"';
}

// Runs `handle`, answering 503 when the database fails, so that a router sends again later.
template <typename Handle>
HttpResponse guarded(const Handle& handle) {
    try {
        return handle();
    } catch (const StoreError& error) {
        // The database's own words stay in the log: they may name its host and user.
        std::string what = error.what();
        std::printf("%s\n", escapedForLog(what.substr(0, what.find('\n'))).c_str());
        std::fflush(stdout);
        return refuse(503, "database unavailable");
    }
}

// The credentials of an Authorization header's Bearer scheme (named in any case); empty when
// it is another scheme.
std::string bearer(const std::string& header) {
    std::string scheme = header.substr(0, 7);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "bearer ") return "";
    std::size_t start = header.find_first_not_of(' ', 7);
    return start == std::string::npos ? "" : header.substr(start);
}

// The page for the reader's link `/?key=SECRET`, with the cookie that lets the browser read on:
// answered directly rather than redirected, as a SameSite=Strict cookie is not sent on a
// redirect that a link on another site began. Behind a proxy that says the client came by
// HTTPS, or with --secure-cookie, the cookie is Secure.
std::optional<HttpResponse> readerLink(RouteContext& context, const HttpRequest& req,
                                       const std::string& key) {
    if (!sameText(tokenHash(key), context.readerHash)) {
        return refuse(401, "wrong reader secret");
    }
    HttpResponse page = content(kPage, "text/html; charset=utf-8");
    std::string cookie = std::string(kReaderCookie) + "=" + key +
                         "; Path=/; Max-Age=31536000; HttpOnly; SameSite=Strict";
    auto proto = req.headers.find("x-forwarded-proto");
    bool https = proto != req.headers.end() && proto->second == "https";
    if (https || context.secureCookie) cookie += "; Secure";
    page.headers = {
        {"Set-Cookie", cookie}, {"Cache-Control", "no-store"}, {"Referrer-Policy", "no-referrer"}};
    return page;
}

}  // namespace

std::string routersJson(const std::vector<RouterState>& states, int64_t at,
                        const std::vector<std::pair<std::string, Calibration>>& calibrations) {
    std::map<std::string, const Calibration*> calibrated;  // a fleet's worth: looked up by name
    for (const auto& [router, c] : calibrations) calibrated[router] = &c;
    json list = json::array();
    for (const RouterState& s : states) {
        json last = s.last.empty() ? json(nullptr) : json(s.last);
        list.push_back({{"router", s.router},
                        {"hostname", s.hostname},
                        {"last", last},
                        {"devices", s.devices},
                        {"late", late(s, at)}});
        auto found = calibrated.find(s.router);
        if (found == calibrated.end()) continue;
        const Calibration& c = *found->second;
        json floor = !c.recount ? json("router") : c.floor ? json(*c.floor) : json("none");
        json r = c.r ? json(*c.r) : json(nullptr);  // none: the people never varied
        list.back()["calibration"] = {
            {"time", timeText(c.made)}, {"floor", floor},    {"a", c.a}, {"b", c.b}, {"r", r},
            {"error", c.error},         {"counts", c.counts}};
    }
    return list.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Written directly rather than through a JSON tree: a month of one router's windows is
// 43,200 points. The time is ours (checked on ingest); the router's name is escaped, once for
// each run of its points (`name` and `quoted` keep the last one).
void appendJson(std::string& text, const Point& p, std::string& name, std::string& quoted) {
    if (p.router != name || quoted.empty()) {
        name = p.router;
        quoted = json(name).dump(-1, ' ', false, json::error_handler_t::replace);
    }
    if (text.size() > 1) text += ',';
    text += "{\"router\":" + quoted + ",\"time\":\"" + p.time +
            "\",\"devices\":" + std::to_string(p.devices);
    if (!p.clockTime.empty()) text += ",\"clockTime\":\"" + p.clockTime + '"';
    if (p.people) text += ",\"people\":" + peopleText(*p.people);
    text += '}';
}

std::string csvHeader(bool people) {
    return people ? "router,time,devices,people\r\n" : "router,time,devices\r\n";
}

void appendCsv(std::string& csv, const Point& p, bool people) {
    csv += csvField(p.router) + ',' + p.time + ',' + std::to_string(p.devices);
    if (people) csv += ',' + (p.people ? peopleText(*p.people) : std::string());
    csv += "\r\n";
}

std::string seriesJson(const std::vector<Point>& points) {
    std::string text = "[";
    std::string name, quoted;
    for (const Point& p : points) appendJson(text, p, name, quoted);
    return text + ']';
}

std::string seriesCsv(const std::vector<Point>& points) {
    // The people column only where some router is calibrated.
    bool people =
        std::any_of(points.begin(), points.end(), [](const Point& p) { return p.people; });
    std::string csv = csvHeader(people);
    for (const Point& p : points) appendCsv(csv, p, people);
    return csv;
}

std::optional<HttpResponse> readerRefusal(const RouteContext& context, const HttpRequest& req) {
    if (context.readerHash.empty()) return std::nullopt;
    // Both are tried: a stale cookie does not hide a right header, nor the other way round.
    std::vector<std::string> presented;
    auto authorization = req.headers.find("authorization");
    if (authorization != req.headers.end()) presented.push_back(bearer(authorization->second));
    auto cookie = req.cookies.find(kReaderCookie);
    if (cookie != req.cookies.end()) presented.push_back(cookie->second);
    for (const std::string& secret : presented) {
        // Compared by their hashes: equal lengths, so the time tells nothing of the secret.
        if (sameText(tokenHash(secret), context.readerHash)) return std::nullopt;
    }
    HttpResponse refused =
        refuse(401, presented.empty() ? "a reader secret is needed" : "wrong reader secret");
    refused.headers.emplace_back("WWW-Authenticate", "Bearer");
    return refused;
}

HeadVerdict checkBeforeBody(RouteContext& context, const HttpRequest& head) {
    HeadVerdict verdict;
    if (head.method != "POST" || head.path != "/ingest") {
        const std::string* key = param(head, "key");
        if (key && head.path == "/" && !context.readerHash.empty()) {
            verdict.refused = readerLink(context, head, *key);
            return verdict;
        }
        // Every route but ingest, before anything else of it: reading, and what a reader posts.
        verdict.refused = readerRefusal(context, head);
        if (verdict.refused || head.method != "POST" || head.path != "/api/calibration") {
            return verdict;
        }
        if (!param(head, "router")) verdict.refused = refuse(400, "no router");
        verdict.body = BodyUse::open;
        return verdict;
    }
    Store& store = context.store;
    HttpResponse checked = guarded([&] {
        const std::string* token = param(head, "token");
        if (!token) return refuse(401, "no token");
        std::optional<std::string> router = store.routerOf(tokenHash(*token));
        if (!router) return refuse(401, "unknown token");
        verdict.holder = *router;
        return HttpResponse{};
    });
    if (checked.status != 200) verdict.refused = checked;
    verdict.body = BodyUse::trusted;
    return verdict;
}

HttpResponse answer(RouteContext& context, const HttpRequest& req) {
    Store& store = context.store;
    const std::string& chart = context.chart;
    const std::string& path = req.path;
    if (req.method == "POST") {
        if (path == "/ingest") return guarded([&] { return ingest(context, req); });
        if (path == "/api/calibration") return guarded([&] { return postCalibration(store, req); });
        return refuse(404, "no such route");
    }
    if (req.method != "GET" && req.method != "HEAD") return refuse(405, "method not allowed");
    if (path == "/") return content(kPage, "text/html; charset=utf-8");
    if (path == "/api/routers") {
        return guarded([&] {
            return content(routersJson(store.routers(), now(), store.calibrations()),
                           "application/json");
        });
    }
    if (path == "/api/series") return guarded([&] { return series(store, req, false); });
    if (path == "/api/total") return guarded([&] { return total(store, req); });
    if (path == "/api/series.csv") return guarded([&] { return series(store, req, true); });
    if (path == "/chart.js") {
        if (chart.empty()) return refuse(404, "Chart.js is not installed");
        return content(chart, "text/javascript");
    }
    return refuse(404, "no such route");
}

// One line per refused request; the query (which holds the token) is never written, and
// what the client chose is escaped.
std::string logLine(const HttpRequest& req, const HttpResponse& res) {
    if (res.status < 400) return "";
    std::string reason = res.body.substr(0, res.body.find('\n'));
    return escapedForLog(req.method) + " " + escapedForLog(req.path) + " from " + req.peer +
           ": HTTP " + std::to_string(res.status) + " " + escapedForLog(reason);
}

HttpRoutes collectorRoutes(Store& store, const ServerSettings& settings) {
    auto context = std::make_shared<RouteContext>(
        store, settings.chartJs.empty() ? "" : readFile(settings.chartJs), settings.readerHash,
        settings.secureCookie);
    HttpRoutes routes;
    routes.beforeBody = [context](const HttpRequest& head) {
        return checkBeforeBody(*context, head);
    };
    routes.answer = [context](const HttpRequest& req) { return answer(*context, req); };
    routes.log = [](const HttpRequest& req, const HttpResponse& res) {
        std::string line = logLine(req, res);
        if (line.empty()) return;
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
    return routes;
}
