#include "collector/http.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

#include "collector/linger.h"

struct HttpServerState {
    HttpLimits limits;
    HttpRoutes routes;
    std::unique_ptr<BodyBudget> budget;
    std::unique_ptr<Linger> linger;
    std::mutex earlyLock;
    std::set<MHD_Connection*> answeredEarly;  // closed by the linger, not at once
    MHD_Daemon* daemon = nullptr;
};

namespace {

// One request from its head to its end: what was read of it and the body bytes it holds.
struct Exchange {
    HttpRequest request;
    BodyUse use = BodyUse::none;  // where its body is counted
    std::string holder;           // and whose part
    std::size_t most = 0;         // what its body may take: its declared length or the limit
    std::size_t reserved = 0;     // bytes counted in HttpServerState::budget
    std::optional<HttpResponse> refused;  // logged, answered once the body is all read
    std::chrono::steady_clock::time_point refusedAt;
    std::size_t discarded = 0;  // body bytes read and thrown away since
    bool answered = false;
};

MHD_Result keepFirst(void* cls, MHD_ValueKind, const char* key, const char* value) {
    static_cast<std::map<std::string, std::string>*>(cls)->emplace(key, value ? value : "");
    return MHD_YES;
}

MHD_Result keepFirstLowerCase(void* cls, MHD_ValueKind, const char* key, const char* value) {
    std::string name = key;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static_cast<std::map<std::string, std::string>*>(cls)->emplace(name, value ? value : "");
    return MHD_YES;
}

std::string peerOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char host[NI_MAXHOST] = "";
    if (info && info->client_addr) {
        socklen_t size =
            info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        getnameinfo(info->client_addr, size, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    }
    return host;
}

// The declared Content-Length; nullopt when there is none or it is not a number.
std::optional<unsigned long long> declaredLength(MHD_Connection* connection) {
    const char* text =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (!text || !*text) return std::nullopt;
    char* end = nullptr;
    unsigned long long length = std::strtoull(text, &end, 10);
    if (*end) return std::nullopt;
    return length;
}

void freeBody(void* body) {
    std::unique_ptr<std::string> owned(static_cast<std::string*>(body));
}

// Whether the request's head announces a body (which the client may be sending already).
bool announcesBody(MHD_Connection* connection) {
    auto length = declaredLength(connection);
    return (length && *length > 0) ||
           MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                       MHD_HTTP_HEADER_TRANSFER_ENCODING);
}

// Queues `response`, logged already; `early` when the body is not all read: the connection then
// lingers.
MHD_Result queue(MHD_Connection* connection, Exchange& exchange, HttpResponse response,
                 HttpServerState* early = nullptr) {
    exchange.answered = true;
    if (early) {
        std::lock_guard<std::mutex> guard(early->earlyLock);
        early->answeredEarly.insert(connection);
    }
    // The body is handed over, not copied: a large answer is held once.
    auto body = std::make_unique<std::string>(std::move(response.body));
    MHD_Response* reply = MHD_create_response_from_buffer_with_free_callback_cls(
        body->size(), body->data(), freeBody, body.get());
    if (!reply) return MHD_NO;
    body.release();  // freed by freeBody with the response
    MHD_add_response_header(reply, MHD_HTTP_HEADER_CONTENT_TYPE, response.type.c_str());
    for (const auto& header : response.headers) {
        MHD_add_response_header(reply, header.first.c_str(), header.second.c_str());
    }
    MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(response.status), reply);
    MHD_destroy_response(reply);
    return queued;
}

// Logs and queues `response`.
MHD_Result send(HttpServerState& state, MHD_Connection* connection, Exchange& exchange,
                HttpResponse response, bool early = false) {
    if (state.routes.log) state.routes.log(exchange.request, response);
    return queue(connection, exchange, std::move(response), early ? &state : nullptr);
}

HttpResponse refusal(int status, const std::string& reason) {
    return HttpResponse{status, "text/plain", reason + "\n", {}};
}

// The head: a refusal before the body when its declared length is over the limit or a route
// refuses it.
MHD_Result begin(HttpServerState& state, MHD_Connection* connection, const char* url,
                 const char* method, void** context) {
    auto exchange = std::make_unique<Exchange>();
    exchange->request.method = method;
    exchange->request.path = url;
    exchange->request.peer = peerOf(connection);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, keepFirst,
                              &exchange->request.query);
    MHD_get_connection_values(connection, MHD_HEADER_KIND, keepFirstLowerCase,
                              &exchange->request.headers);
    MHD_get_connection_values(connection, MHD_COOKIE_KIND, keepFirst, &exchange->request.cookies);
    Exchange& current = *exchange;
    *context = exchange.release();  // owned from here on by `completed`
    auto length = declaredLength(connection);
    bool early = announcesBody(connection);
    if (length && *length > state.limits.maxBody) {
        return send(state, connection, current, refusal(413, "body larger than the limit"), early);
    }
    HeadVerdict verdict;
    if (state.routes.beforeBody) verdict = state.routes.beforeBody(current.request);
    if (verdict.refused) return send(state, connection, current, *verdict.refused, early);
    if (early && verdict.body == BodyUse::none) {
        return send(state, connection, current, refusal(413, "this route takes no body"), early);
    }
    current.use = verdict.body;
    current.holder = std::move(verdict.holder);
    current.most = length ? static_cast<std::size_t>(*length) : state.limits.maxBody;
    return MHD_YES;
}

// Refuses the request once its body is partly read: logged now, answered once the rest is read
// and thrown away (libmicrohttpd takes no answer in the middle of a body), so that the client,
// which may be sending it all without waiting, reads the answer before the connection closes.
MHD_Result refuseMidBody(HttpServerState& state, Exchange& exchange, HttpResponse response) {
    if (state.routes.log) state.routes.log(exchange.request, response);
    // Its share is given back with its buffer at once: a client that sends the rest slowly
    // holds a connection, not what other bodies need.
    exchange.request.body = std::string();
    state.budget->giveBack(exchange.use, exchange.holder, exchange.reserved);
    exchange.reserved = 0;
    exchange.refused = std::move(response);
    exchange.refusedAt = std::chrono::steady_clock::now();
    return MHD_YES;
}

// A part of a refused body, thrown away; the connection closed at once past the linger's bytes
// or time since the refusal.
MHD_Result discard(const HttpServerState& state, Exchange& exchange, std::size_t size) {
    exchange.discarded += size;
    auto since = std::chrono::steady_clock::now() - exchange.refusedAt;
    bool late = since > std::chrono::seconds(state.limits.idleSeconds);
    return late || exchange.discarded > state.limits.lingerBytes ? MHD_NO : MHD_YES;
}

// Grows the body's buffer to hold `needed` bytes: twice what it held, but never past what the
// body may take, once the budget counted the growth; false when the budget has no room.
bool grow(HttpServerState& state, Exchange& exchange, std::size_t needed) {
    std::string& body = exchange.request.body;
    std::size_t held = body.capacity();
    std::size_t grown = std::max(needed, std::min(2 * held, exchange.most));
    if (!state.budget->take(exchange.use, exchange.holder, grown - held)) return false;
    exchange.reserved += grown - held;
    // A new buffer of that size: reserve on the body itself may round up to twice what it held.
    std::string bigger;
    bigger.reserve(grown);
    bigger.append(body);
    body.swap(bigger);
    return true;
}

// A part of the body: kept while within the request's and the server's limits; past them, read
// and thrown away within the linger's bounds.
MHD_Result receive(HttpServerState& state, Exchange& exchange, const char* data, std::size_t size) {
    if (exchange.answered) return MHD_YES;
    if (exchange.refused) return discard(state, exchange, size);
    std::string& body = exchange.request.body;
    if (body.size() + size > state.limits.maxBody) {
        return refuseMidBody(state, exchange, refusal(413, "body larger than the limit"));
    }
    // Counted by what the body's buffer takes as it grows, not its length.
    if (body.size() + size > body.capacity() && !grow(state, exchange, body.size() + size)) {
        return refuseMidBody(state, exchange,
                             refusal(503, "too many documents at once; send again later"));
    }
    body.append(data, size);
    return MHD_YES;
}

MHD_Result access(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char* data, std::size_t* size, void** context) {
    HttpServerState& state = *static_cast<HttpServerState*>(cls);
    if (!*context) return begin(state, connection, url, method, context);
    Exchange& exchange = *static_cast<Exchange*>(*context);
    if (*size) {
        std::size_t part = *size;
        *size = 0;
        return receive(state, exchange, data, part);
    }
    if (exchange.answered) return MHD_YES;
    if (exchange.refused) return queue(connection, exchange, std::move(*exchange.refused));
    return send(state, connection, exchange, state.routes.answer(exchange.request));
}

void completed(void* cls, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    std::unique_ptr<Exchange> exchange(static_cast<Exchange*>(*context));
    *context = nullptr;
    if (exchange) {
        static_cast<HttpServerState*>(cls)->budget->giveBack(exchange->use, exchange->holder,
                                                             exchange->reserved);
    }
}

// A connection answered before its body was read goes to the linger (a copy of its socket:
// libmicrohttpd closes its own after this) instead of closing with the body unread.
void connectionEvent(void* cls, MHD_Connection* connection, void**,
                     MHD_ConnectionNotificationCode code) {
    if (code != MHD_CONNECTION_NOTIFY_CLOSED) return;
    HttpServerState& state = *static_cast<HttpServerState*>(cls);
    {
        std::lock_guard<std::mutex> guard(state.earlyLock);
        if (!state.answeredEarly.erase(connection)) return;
    }
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (!info) return;
    int copy = fcntl(info->connect_fd, F_DUPFD_CLOEXEC, 0);
    if (copy >= 0) state.linger->hold(copy, peerOf(connection));
}

}  // namespace

std::unique_ptr<HttpServer> HttpServer::start(const std::string& host, int port,
                                              const HttpLimits& limits, HttpRoutes routes,
                                              std::string& error) {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string name = host.size() > 1 && host.front() == '[' && host.back() == ']'
                           ? host.substr(1, host.size() - 2)
                           : host;
    std::string service = std::to_string(port);
    int status =
        getaddrinfo(name.empty() ? nullptr : name.c_str(), service.c_str(), &hints, &found);
    if (status != 0) {
        error = gai_strerror(status);
        return nullptr;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> address(found, freeaddrinfo);
    auto state = std::make_unique<HttpServerState>();
    state->limits = limits;
    state->routes = std::move(routes);
    state->budget = std::make_unique<BodyBudget>(limits.bodies);
    state->linger = std::make_unique<Linger>(LingerLimits{limits.lingering, limits.lingerBytes,
                                                          std::chrono::seconds(limits.idleSeconds),
                                                          limits.lingeringPerPeer});
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL;
    if (found->ai_family == AF_INET6) flags |= MHD_USE_IPv6;
    state->daemon = MHD_start_daemon(
        flags, static_cast<uint16_t>(port), nullptr, nullptr, access, state.get(),
        MHD_OPTION_SOCK_ADDR, found->ai_addr, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<std::size_t>(limits.headBytes), MHD_OPTION_CONNECTION_LIMIT, limits.connections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.perPeer, MHD_OPTION_CONNECTION_TIMEOUT,
        limits.idleSeconds, MHD_OPTION_THREAD_POOL_SIZE, limits.threads,
        MHD_OPTION_LISTEN_BACKLOG_SIZE, limits.backlog, MHD_OPTION_NOTIFY_COMPLETED, completed,
        state.get(), MHD_OPTION_NOTIFY_CONNECTION, connectionEvent, state.get(), MHD_OPTION_END);
    if (!state->daemon) {
        error = "cannot listen there";
        return nullptr;
    }
    return std::make_unique<HttpServer>(std::move(state));
}

HttpServer::HttpServer(std::unique_ptr<HttpServerState> state) : state_(std::move(state)) {}

HttpServer::~HttpServer() {
    MHD_stop_daemon(state_->daemon);
}

std::string escapedForLog(const std::string& text) {
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '\\') {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", byte);
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}
