#include "collector/http.h"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>

struct HttpServerState {
    HttpLimits limits;
    HttpRoutes routes;
    std::atomic<std::size_t> inFlight{0};
    MHD_Daemon* daemon = nullptr;
};

namespace {

// One request from its head to its end: what was read of it and the body bytes it holds.
struct Exchange {
    HttpRequest request;
    std::size_t reserved = 0;  // bytes counted in HttpServerState::inFlight
    bool tooLarge = false;
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

MHD_Result send(HttpServerState& state, MHD_Connection* connection, Exchange& exchange,
                HttpResponse response) {
    exchange.answered = true;
    if (state.routes.log) state.routes.log(exchange.request, response);
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
    if (length && *length > state.limits.maxBody) {
        return send(state, connection, current, refusal(413, "body larger than the limit"));
    }
    if (state.routes.beforeBody) {
        if (auto refused = state.routes.beforeBody(current.request)) {
            return send(state, connection, current, *refused);
        }
    }
    return MHD_YES;
}

// A part of the body: kept while within the request's and the server's limits. A POST or PUT
// over them is answered at once and its connection closed after, unread.
MHD_Result receive(HttpServerState& state, MHD_Connection* connection, Exchange& exchange,
                   const char* data, std::size_t size) {
    if (exchange.answered || exchange.tooLarge) return MHD_YES;
    bool early = exchange.request.method == "POST" || exchange.request.method == "PUT";
    if (exchange.request.body.size() + size > state.limits.maxBody) {
        exchange.tooLarge = true;
        exchange.request.body = std::string();
        return early ? send(state, connection, exchange, refusal(413, "body larger than the limit"))
                     : MHD_YES;
    }
    // Counted by what the body's buffer takes as it grows (twice at a time), not its length.
    std::string& body = exchange.request.body;
    std::size_t needed = body.size() + size, held = body.capacity();
    if (needed > held) {
        std::size_t grown = std::max(needed, 2 * held);
        std::size_t before = state.inFlight.fetch_add(grown - held);
        exchange.reserved += grown - held;
        if (before + grown - held > state.limits.bodiesInFlight) {
            exchange.tooLarge = true;
            body = std::string();
            return early ? send(state, connection, exchange,
                                refusal(503, "too many documents at once; send again later"))
                         : MHD_YES;
        }
        body.reserve(grown);
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
        return receive(state, connection, exchange, data, part);
    }
    if (exchange.answered) return MHD_YES;
    if (exchange.tooLarge) {
        return send(state, connection, exchange, refusal(413, "body larger than the limit"));
    }
    return send(state, connection, exchange, state.routes.answer(exchange.request));
}

void completed(void* cls, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    std::unique_ptr<Exchange> exchange(static_cast<Exchange*>(*context));
    *context = nullptr;
    if (exchange) static_cast<HttpServerState*>(cls)->inFlight -= exchange->reserved;
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
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL;
    if (found->ai_family == AF_INET6) flags |= MHD_USE_IPv6;
    state->daemon = MHD_start_daemon(
        flags, static_cast<uint16_t>(port), nullptr, nullptr, access, state.get(),
        MHD_OPTION_SOCK_ADDR, found->ai_addr, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<std::size_t>(limits.headBytes), MHD_OPTION_CONNECTION_LIMIT, limits.connections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.perPeer, MHD_OPTION_CONNECTION_TIMEOUT,
        limits.idleSeconds, MHD_OPTION_THREAD_POOL_SIZE, limits.threads,
        MHD_OPTION_LISTEN_BACKLOG_SIZE, limits.backlog, MHD_OPTION_NOTIFY_COMPLETED, completed,
        state.get(), MHD_OPTION_END);
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
