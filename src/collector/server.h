#pragma once
// The collector's routes: ingest from routers, the JSON and CSV reading API and the page. Each
// is a small function from a request to a response, so the listener stays out of them.

#include <mutex>
#include <string>

#include "collector/http.h"
#include "collector/store.h"

struct ServerSettings {
    std::size_t maxBody = 0;  // bytes; a larger body is answered 413
    std::string chartJs;      // the Chart.js file the page loads; empty: none found
};

// A document stamped further ahead of the collector's clock than this is refused: its router's
// clock is wrong, and storing it would stretch every chart and make days that retention keeps.
constexpr int64_t kMostAhead = 86400;

// The routes over `store`, with one log line per refused request.
HttpRoutes collectorRoutes(Store& store, const ServerSettings& settings);

// What the routes share.
struct RouteContext {
    RouteContext(Store& s, std::string chartJs) : store(s), chart(std::move(chartJs)) {}
    Store& store;
    std::string chart;  // the Chart.js text; empty: none
    // Parsing takes about four times a document's size: one large document at a time.
    std::mutex largeParse;
};

// A document this large waits for the others of its size to be parsed.
constexpr std::size_t kLargeBody = 1 << 20;

// Before an ingest's body is read: 401 unless its token is a router's.
std::optional<HttpResponse> checkBeforeBody(Store& store, const HttpRequest& head);
// The response to a whole request.
HttpResponse answer(RouteContext& context, const HttpRequest& request);
// The log line for `response` to `request`; empty when it was not refused.
std::string logLine(const HttpRequest& request, const HttpResponse& response);

// The page at "/".
extern const char* const kPage;

// A JSON text of the routers' states at `now`, and of the points.
std::string routersJson(const std::vector<RouterState>& states, int64_t now);
std::string seriesJson(const std::vector<Point>& points);
std::string seriesCsv(const std::vector<Point>& points);
// One point more to the text of a JSON list ("[" so far: none yet) or of a CSV file.
void appendJson(std::string& text, const Point& p, std::string& name, std::string& quoted);
void appendCsv(std::string& csv, const Point& p);
