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
    std::string readerHash;   // tokenHash of the reader secret; empty: anyone may read
    bool secureCookie;        // the reader's cookie is always Secure: the collector is behind TLS
};

// A document stamped further ahead of the collector's clock than this is refused: its router's
// clock is wrong, and storing it would stretch every chart and make days that retention keeps.
constexpr int64_t kMostAhead = 86400;

// The routes over `store`, with one log line per refused request.
HttpRoutes collectorRoutes(Store& store, const ServerSettings& settings);

// What the routes share.
struct RouteContext {
    RouteContext(Store& s, std::string chartJs, std::string reader, bool secure = false)
        : store(s),
          chart(std::move(chartJs)),
          readerHash(std::move(reader)),
          secureCookie(secure) {}
    Store& store;
    std::string chart;       // the Chart.js text; empty: none
    std::string readerHash;  // see ServerSettings
    bool secureCookie;       // see ServerSettings
    // Parsing takes about four times a document's size: one large document at a time.
    std::mutex largeParse;
};

// A document this large waits for the others of its size to be parsed.
constexpr std::size_t kLargeBody = 1 << 20;

// The cookie that the reader's link `/?key=SECRET` sets: the secret, sent back by the browser.
constexpr const char* kReaderCookie = "pelmar_reader";

// Before any body is read: an ingest's answer is 401 unless its token is a router's, whose
// body is counted in ingest's share as that router's; any other request's is readerRefusal's,
// then 400 for a calibration that names no router, whose body is counted in the open share.
// Other routes take no body.
HeadVerdict checkBeforeBody(RouteContext& context, const HttpRequest& head);
// The guard of every route but ingest: nothing when `req` may read (no reader secret is set, or
// it brings the secret as "Authorization: Bearer SECRET" or as the cookie), else a 401.
std::optional<HttpResponse> readerRefusal(const RouteContext& context, const HttpRequest& req);
// The response to a whole request.
HttpResponse answer(RouteContext& context, const HttpRequest& request);
// The log line for `response` to `request`; empty when it was not refused.
std::string logLine(const HttpRequest& request, const HttpResponse& response);

// The page at "/".
extern const char* const kPage;

// A JSON text of the routers' states at `now`, and of the points.
std::string routersJson(const std::vector<RouterState>& states, int64_t now,
                        const std::vector<std::pair<std::string, Calibration>>& calibrations = {});
std::string seriesJson(const std::vector<Point>& points);
std::string seriesCsv(const std::vector<Point>& points);
// One point more to the text of a JSON list ("[" so far: none yet) or of a CSV file.
void appendJson(std::string& text, const Point& p, std::string& name, std::string& quoted);
// With `people`, the CSV's people column (empty for a router not calibrated).
std::string csvHeader(bool people);
void appendCsv(std::string& csv, const Point& p, bool people = false);
