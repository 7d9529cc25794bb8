#include "collector/server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "collector/people.h"

using nlohmann::json;

namespace {

int64_t now() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

// Answers `status` with a one-line reason, which the log line repeats.
void refuse(httplib::Response& res, int status, const std::string& reason) {
    res.status = status;
    res.set_content(reason + "\n", "text/plain");
}

// The query's seconds parameter `name`; nullopt when absent, false in `ok` when not a number.
std::optional<int64_t> secondsParam(const httplib::Request& req, const char* name, bool& ok) {
    if (!req.has_param(name)) return std::nullopt;
    const std::string text = req.get_param_value(name);
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0') ok = false;
    return value;
}

void ingest(Store& store, const httplib::Request& req, httplib::Response& res) {
    if (!req.has_param("token")) return refuse(res, 401, "no token");
    std::optional<std::string> router = store.routerOf(tokenHash(req.get_param_value("token")));
    if (!router) return refuse(res, 401, "unknown token");
    Document document;
    std::string reason = parseDocument(req.body, document);
    if (!reason.empty()) return refuse(res, 400, *router + ": " + reason);
    bool added = store.add(*router, document, now());
    res.set_content(added ? "stored\n" : "stored before\n", "text/plain");
}

// Runs `handler`, answering 503 when the database fails, so that a router sends again later.
template <typename Handler>
httplib::Server::Handler guarded(Store& store, Handler handler) {
    return [&store, handler](const httplib::Request& req, httplib::Response& res) {
        try {
            handler(store, req, res);
        } catch (const StoreError& error) {
            // The database's own words stay in the log: they may name its host and user.
            std::string what = error.what();
            std::printf("%s\n", what.substr(0, what.find('\n')).c_str());
            refuse(res, 503, "database unavailable");
        }
    };
}

bool seriesQuery(const httplib::Request& req, SeriesQuery& query) {
    bool ok = true;
    if (req.has_param("router")) query.router = req.get_param_value("router");
    query.from = secondsParam(req, "from", ok).value_or(0);
    query.to = secondsParam(req, "to", ok).value_or(INT64_MAX);
    return ok;
}

void series(Store& store, const httplib::Request& req, httplib::Response& res, bool csv) {
    SeriesQuery query;
    if (!seriesQuery(req, query)) return refuse(res, 400, "from and to are seconds");
    std::vector<Point> points = store.series(query);
    addPeople(store, query, points);
    if (csv) return res.set_content(seriesCsv(points), "text/csv");
    res.set_content(seriesJson(points), "application/json");
}

// POST /api/calibration?router=NAME with `time,people` lines as the body.
void postCalibration(Store& store, const httplib::Request& req, httplib::Response& res) {
    if (!req.has_param("router")) return refuse(res, 400, "no router");
    CalibrationAnswer answer =
        calibrateRouter(store, req.get_param_value("router"), req.body, now());
    if (answer.status != 200) return refuse(res, answer.status, answer.text);
    res.set_content(answer.text + "\n", "text/plain");
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

}  // namespace

std::string routersJson(const std::vector<RouterState>& states, int64_t at,
                        const std::vector<std::pair<std::string, Calibration>>& calibrations) {
    json list = json::array();
    for (const RouterState& s : states) {
        json last = s.last.empty() ? json(nullptr) : json(s.last);
        list.push_back({{"router", s.router},
                        {"hostname", s.hostname},
                        {"last", last},
                        {"devices", s.devices},
                        {"late", late(s, at)}});
        for (const auto& [router, c] : calibrations) {
            if (router != s.router) continue;
            json floor = !c.recount ? json("router") : c.floor ? json(*c.floor) : json("none");
            list.back()["calibration"] = {
                {"time", timeText(c.made)}, {"floor", floor},    {"a", c.a}, {"b", c.b}, {"r", c.r},
                {"error", c.error},         {"counts", c.counts}};
        }
    }
    return list.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Written directly rather than through a JSON tree: a month of one router's windows is
// 43,200 points. The time is ours (checked on ingest); the router's name is escaped.
std::string seriesJson(const std::vector<Point>& points) {
    std::string text = "[";
    std::string name, quoted;
    for (const Point& p : points) {
        if (p.router != name || quoted.empty()) {
            name = p.router;
            quoted = json(name).dump(-1, ' ', false, json::error_handler_t::replace);
        }
        if (text.size() > 1) text += ',';
        text += "{\"router\":" + quoted + ",\"time\":\"" + p.time +
                "\",\"devices\":" + std::to_string(p.devices);
        if (p.people) text += ",\"people\":" + peopleText(*p.people);
        text += '}';
    }
    return text + ']';
}

std::string seriesCsv(const std::vector<Point>& points) {
    // The people column only where some router is calibrated.
    bool people =
        std::any_of(points.begin(), points.end(), [](const Point& p) { return p.people; });
    std::string csv = people ? "router,time,devices,people\r\n" : "router,time,devices\r\n";
    for (const Point& p : points) {
        csv += csvField(p.router) + ',' + p.time + ',' + std::to_string(p.devices);
        if (people) csv += ',' + (p.people ? peopleText(*p.people) : std::string());
        csv += "\r\n";
    }
    return csv;
}

void addRoutes(httplib::Server& server, Store& store, const ServerSettings& settings) {
    server.set_payload_max_length(settings.maxBody);
    server.Post("/ingest", guarded(store, ingest));
    server.Get("/api/routers", guarded(store, [](Store& s, const auto&, httplib::Response& res) {
                   res.set_content(routersJson(s.routers(), now(), s.calibrations()),
                                   "application/json");
               }));
    server.Get("/api/series", guarded(store, [](Store& s, const auto& req, auto& res) {
                   series(s, req, res, false);
               }));
    server.Get("/api/series.csv", guarded(store, [](Store& s, const auto& req, auto& res) {
                   series(s, req, res, true);
               }));
    server.Post("/api/calibration", guarded(store, postCalibration));
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kPage, "text/html; charset=utf-8");
    });
    std::string chart = settings.chartJs.empty() ? "" : readFile(settings.chartJs);
    server.Get("/chart.js", [chart](const httplib::Request&, httplib::Response& res) {
        if (chart.empty()) return refuse(res, 404, "Chart.js is not installed");
        res.set_content(chart, "text/javascript");
    });
    // One line per refused request; the query (which holds the token) is never written.
    server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
        if (res.status < 400) return;
        std::string reason = res.body.substr(0, res.body.find('\n'));
        if (res.status == 413) reason = "body larger than the limit";
        std::printf("%s %s from %s: HTTP %d %s\n", req.method.c_str(), req.path.c_str(),
                    req.remote_addr.c_str(), res.status, reason.c_str());
        std::fflush(stdout);
    });
}
