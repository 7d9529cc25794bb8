#pragma once
// The collector's HTTP side: ingest from routers, the JSON and CSV reading API and the page.

#include <httplib.h>

#include <string>

#include "collector/store.h"

struct ServerSettings {
    std::size_t maxBody = 0;  // bytes; a larger body is answered 413
    std::string chartJs;      // the Chart.js file the page loads; empty: none found
};

// Adds the collector's routes over `store` to `server`, with one log line per refused request.
void addRoutes(httplib::Server& server, Store& store, const ServerSettings& settings);

// The page at "/".
extern const char* const kPage;

// A JSON text of the routers' states at `now`, and of the points.
std::string routersJson(const std::vector<RouterState>& states, int64_t now,
                        const std::vector<std::pair<std::string, Calibration>>& calibrations = {});
std::string seriesJson(const std::vector<Point>& points);
std::string seriesCsv(const std::vector<Point>& points);
