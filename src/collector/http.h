#pragma once
// The collector's HTTP listener, on libmicrohttpd: every request bounded in head, body, time and
// number before any route sees it. Routes are plain functions from a request to a response.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "collector/body_budget.h"

struct HttpRequest {
    std::string method;
    std::string path;                            // decoded
    std::map<std::string, std::string> query;    // decoded; the first of a repeated name
    std::string body;                            // empty until the whole body came
    std::string peer;                            // the client's address
    std::map<std::string, std::string> headers;  // by lower-case name; the first of a repeated one
    std::map<std::string, std::string> cookies;  // the first of a repeated name
};

struct HttpResponse {
    int status = 200;
    std::string type = "text/plain";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // besides Content-Type
};

struct HttpLimits {
    std::size_t maxBody = 16 << 20;    // one request's body, bytes: larger ones 413
    BudgetLimits bodies;               // the bodies being received at once: beyond, 503
    std::size_t headBytes = 32 << 10;  // one connection's buffer, request line and headers: 431
    unsigned connections = 1000;       // open at once; more are closed when accepted
    unsigned perPeer = 64;             // open at once from one address
    unsigned idleSeconds = 15;         // a connection silent this long is closed
    unsigned threads = 4;              // each serves many connections, never waits on one
    unsigned backlog = 128;            // connections the kernel holds before they are accepted
    // A connection answered before its body was read is closed gracefully: what the client
    // still sends is read and thrown away, up to this many bytes and idleSeconds, so that the
    // answer is not lost to a reset. At most lingering such connections at once, and
    // lingeringPerPeer of them from one address. A body refused as it came is thrown away
    // within the same bounds before its answer.
    std::size_t lingerBytes = 4 << 20;
    unsigned lingering = 100;
    unsigned lingeringPerPeer = 10;
};

// What the routes make of a request's head, before any byte of its body is read.
struct HeadVerdict {
    std::optional<HttpResponse> refused;  // answered now, the body never read
    BodyUse body = BodyUse::none;         // where a body is counted; none: one is refused unread
    std::string holder;                   // whose part of the trusted share (a router)
};

struct HttpRoutes {
    // Called once the head came, before any byte of the body is read (the head has no body
    // yet): a refusal, or where its body is counted.
    std::function<HeadVerdict(const HttpRequest& head)> beforeBody;
    // Called with the whole request.
    std::function<HttpResponse(const HttpRequest& request)> answer;
    // Called with every response, refusals included.
    std::function<void(const HttpRequest& request, const HttpResponse& response)> log;
};

struct HttpServerState;

// Listens on `host`:`port` until destroyed (stopping closes every connection, waits for no
// queue). `error` says why when the returned server is null.
class HttpServer {
public:
    static std::unique_ptr<HttpServer> start(const std::string& host, int port,
                                             const HttpLimits& limits, HttpRoutes routes,
                                             std::string& error);
    explicit HttpServer(std::unique_ptr<HttpServerState> state);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

private:
    std::unique_ptr<HttpServerState> state_;
};

// `text` with control characters and backslashes written as \xNN, so that a log line stays one
// true line whatever a client sent.
std::string escapedForLog(const std::string& text);
