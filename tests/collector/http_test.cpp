// Log lines of refused requests: one true line whatever the client sent, never the query.
#include <gtest/gtest.h>

#include "collector/server.h"

namespace {

TEST(LogLines, ControlCharactersAndBackslashesEscaped) {
    const struct {
        std::string text, logged;
    } cases[] = {
        {"/api/series", "/api/series"},
        {"/x\nStopped", "/x\\x0aStopped"},
        {"/\r\x1b[31m\x7f", "/\\x0d\\x1b[31m\\x7f"},
        {"/a\\x0a", "/a\\x5cx0a"},  // a written escape cannot pass for one of ours
        {std::string("/\0z", 3), "/\\x00z"},
        {"/\xc3\xa9", "/\xc3\xa9"},  // UTF-8 stays as it is
    };
    for (const auto& c : cases) EXPECT_EQ(escapedForLog(c.text), c.logged) << c.text;
}

TEST(LogLines, RefusalsOnlyWithoutTheQuery) {
    HttpRequest request{"POST", "/ingest\n", {{"token", "secret"}}, "", "127.0.0.1", {}, {}};
    EXPECT_EQ(logLine(request, HttpResponse{401, "text/plain", "no token\n", {}}),
              "POST /ingest\\x0a from 127.0.0.1: HTTP 401 no token");
    EXPECT_EQ(logLine(request, HttpResponse{200, "text/plain", "stored\n", {}}), "");
    EXPECT_EQ(logLine(request, HttpResponse{400, "text/plain", "north: a\x1b b\nmore\n", {}}),
              "POST /ingest\\x0a from 127.0.0.1: HTTP 400 north: a\\x1b b");
}

}  // namespace
