// pelmar-collector: receives the routers' documents, stores them and shows devices over time.
#include <malloc.h>
#include <signal.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "collector/calibration.h"
#include "collector/people.h"
#include "collector/server.h"

namespace {

const char* const kUsage =
    "Usage: pelmar-collector [options]\n"
    "       pelmar-collector token add NAME --db DB     prints a new token for router NAME\n"
    "       pelmar-collector token list --db DB         its tokens: router, made, last document\n"
    "       pelmar-collector token revoke NAME --db DB  refuses NAME's tokens from now on\n"
    "       pelmar-collector calibrate NAME --db DB --people FILE.csv | --clear\n"
    "       pelmar-collector --version\n"
    "Receives the routers' documents (POST /ingest?token=...), stores them and serves a page of\n"
    "devices over time (GET /) with its data (GET /api/routers, /api/series, /api/series.csv).\n"
    "Options (each also read from the environment variable PELMAR_COLLECTOR_<NAME>, e.g.\n"
    "PELMAR_COLLECTOR_KEEP_DAYS for --keep-days; a flag wins):\n"
    "  --db DB             SQLite file (created on first start), or postgresql://... "
    "(default pelmar-collector.db)\n"
    "  --listen ADDR:PORT  where to listen (default 127.0.0.1:8480)\n"
    "  --keep-days N       remove documents older than N days, once a day (default: keep all)\n"
    "  --max-body-kb N     largest document accepted, KiB; larger ones get 413 (default 16384)\n"
    "  --max-connections N open connections at once, more are closed (default 1000)\n"
    "  --max-connections-per-address N  of them from one address (default 64)\n"
    "  --chart-js FILE     the Chart.js file the page loads (default: Debian's libjs-chart.js)\n"
    "  --read-secret-file FILE  the page and the reading routes need the secret in FILE, sent\n"
    "                      as \"Authorization: Bearer SECRET\" or by the cookie that the link\n"
    "                      /?key=SECRET sets (default: anyone who reaches the port may read)\n"
    "  --secure-cookie     the cookie of that link is always Secure (sent over HTTPS only): for\n"
    "                      a collector reached only through a TLS proxy (default: Secure when\n"
    "                      the request says X-Forwarded-Proto: https); the variable: 1 or 0\n"
    "  --help              this text\n"
    "calibrate fits people = a * devices + b (and the signal floor) to the counts of people in\n"
    "FILE.csv (lines time,people) and stores it; --clear removes it.\n"
    "POST /api/calibration?router=NAME with the CSV as its body does the same.\n";

const char* const kFlags[] = {"db",          "listen",           "keep-days",
                              "max-body-kb", "max-connections",  "max-connections-per-address",
                              "chart-js",    "read-secret-file", "secure-cookie"};
// The flags that take no value: given, they are "1".
const char* const kSwitches[] = {"secure-cookie"};

using Options = std::map<std::string, std::string>;

// The options of `args` over their environment variables over the defaults; false with a line
// on standard error when an argument is not one of them.
bool readOptions(const std::vector<std::string>& args, Options& options) {
    options = {{"db", "pelmar-collector.db"},
               {"listen", "127.0.0.1:8480"},
               {"max-body-kb", "16384"},
               {"max-connections", "1000"},
               {"max-connections-per-address", "64"},
               {"chart-js", PELMAR_CHART_JS}};
    for (const char* flag : kFlags) {
        std::string name = "PELMAR_COLLECTOR_";
        for (const char* c = flag; *c; ++c) name += *c == '-' ? '_' : static_cast<char>(*c - 32);
        if (const char* value = std::getenv(name.c_str())) options[flag] = value;
    }
    for (std::size_t i = 0; i < args.size();) {
        bool known = false, on = false;
        for (const char* flag : kFlags) known = known || args[i] == std::string("--") + flag;
        for (const char* flag : kSwitches) on = on || args[i] == std::string("--") + flag;
        if (on) {
            options[args[i++].substr(2)] = "1";
            continue;
        }
        if (!known || i + 1 == args.size()) {
            std::fprintf(stderr, "pelmar-collector: unknown option or missing value: %s\n%s",
                         args[i].c_str(), kUsage);
            return false;
        }
        options[args[i].substr(2)] = args[i + 1];
        i += 2;
    }
    return true;
}

// A positive whole number, or 0 when `text` is none.
long positive(const std::string& text) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && value > 0 ? value : 0;
}

int64_t secondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// `calibrate ROUTER` with its own arguments (--people FILE or --clear) before the options.
int calibrateCommand(const std::string& router, std::vector<std::string>& args) {
    std::optional<std::string> people;
    bool clear = false;
    for (std::size_t i = 0; i < args.size();) {
        if (args[i] == "--clear") {
            clear = true;
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
        } else if (args[i] == "--people" && i + 1 < args.size()) {
            people = args[i + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        } else {
            i += 2;
        }
    }
    Options options;
    if (!readOptions(args, options)) return 2;
    if (clear == people.has_value()) {
        std::fprintf(stderr, "pelmar-collector: calibrate takes --people FILE or --clear\n%s",
                     kUsage);
        return 2;
    }
    std::string csv;
    if (people) {
        std::ifstream in(*people, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (!in) {
            std::printf("Cannot read %s\n", people->c_str());
            return 1;
        }
        csv = text.str();
    }
    std::unique_ptr<Store> store = openStore(options.at("db"));
    CalibrationAnswer answer = clear ? clearCalibration(*store, router)
                                     : calibrateRouter(*store, router, csv, secondsNow());
    std::printf("%s\n", answer.text.c_str());
    return answer.status == 200 ? 0 : 1;
}

// `token add NAME`, `token list` and `token revoke NAME` (`args` past "token").
int tokenCommand(const std::vector<std::string>& args, const Options& options) {
    std::unique_ptr<Store> store = openStore(options.at("db"));
    if (args[0] == "add") {
        std::string token = newToken();
        store->addToken(args[1], tokenHash(token), secondsNow());
        std::printf("%s\n", token.c_str());
    } else if (args[0] == "list") {
        // Tab-separated for scripts; a name is escaped like a log line, as it is the operator's
        // own text but may hold anything.
        std::printf("router\tcreated\tlast document\n");
        for (const TokenState& token : store->tokens()) {
            std::printf("%s\t%s\t%s\n", escapedForLog(token.router).c_str(),
                        token.created < 0 ? "unknown" : timeText(token.created).c_str(),
                        token.last.empty() ? "none" : token.last.c_str());
        }
    } else {
        int64_t removed = store->revokeTokens(args[1]);
        std::string name = escapedForLog(args[1]);
        if (removed == 0) {
            std::printf("No token of %s\n", name.c_str());
            return 1;
        }
        std::printf("Revoked %lld token%s of %s; its documents stay\n",
                    static_cast<long long>(removed), removed == 1 ? "" : "s", name.c_str());
    }
    return 0;
}

// The reader secret's hash from the file `path`, its line end dropped; false with a line on
// standard error when it cannot be read or is too weak or holds what a cookie or a link
// cannot carry as it is.
bool readReaderSecret(const std::string& path, std::string& hash) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "pelmar-collector: cannot read the reader secret in %s\n",
                     path.c_str());
        return false;
    }
    // A few bytes past the longest secret are enough to tell: a file without end is not read.
    std::string secret(260, '\0');
    file.read(&secret[0], static_cast<std::streamsize>(secret.size()));
    secret.resize(static_cast<std::size_t>(file.gcount()));
    secret = secret.substr(0, secret.find('\n'));
    if (!secret.empty() && secret.back() == '\r') secret.pop_back();
    bool plain = secret.size() >= 16 && secret.size() <= 256;
    for (char c : secret) {
        plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ||
                          c == '_' || c == '~');
    }
    if (!plain) {
        std::fprintf(stderr,
                     "pelmar-collector: the reader secret in %s must be one line of 16 to 256"
                     " letters, digits, '-', '.', '_' or '~'\n",
                     path.c_str());
        return false;
    }
    hash = tokenHash(secret);
    return true;
}

// Drops the days before the last `keepDays` now and then once a day, until `stopping`.
void keepDays(Store& store, long days, std::mutex& lock, std::condition_variable& wake,
              const bool& stopping) {
    std::unique_lock<std::mutex> hold(lock);
    while (!stopping) {
        int64_t today = secondsNow() / 86400;
        try {
            store.dropBefore(today - days);
        } catch (const std::exception& error) {
            // Whatever went wrong, the next day tries again: nothing ends the collector here.
            std::string what = error.what();
            std::printf("Retention failed: %s\n",
                        escapedForLog(what.substr(0, what.find('\n'))).c_str());
            std::fflush(stdout);
        }
        wake.wait_for(hold, std::chrono::hours(24), [&] { return stopping; });
    }
}

// Waits for TERM or INT (blocked in every thread since main began).
void waitForStop() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    int signal = 0;
    sigwait(&set, &signal);
}

int serve(const Options& options) {
    const std::string& listen = options.at("listen");
    auto colon = listen.rfind(':');
    long port = colon == std::string::npos ? 0 : positive(listen.substr(colon + 1));
    long maxBodyKb = positive(options.at("max-body-kb"));
    long connections = positive(options.at("max-connections"));
    long perAddress = positive(options.at("max-connections-per-address"));
    long days = options.count("keep-days") ? positive(options.at("keep-days")) : -1;
    if (!port || port > 65535 || !maxBodyKb || maxBodyKb > (1L << 30) || days == 0 ||
        !connections || !perAddress) {
        std::fprintf(stderr,
                     "pelmar-collector: a bad --listen, --max-body-kb, --max-connections,"
                     " --max-connections-per-address or --keep-days\n");
        return 2;
    }
    auto secure = options.find("secure-cookie");
    if (secure != options.end() && secure->second != "0" && secure->second != "1") {
        std::fprintf(stderr, "pelmar-collector: PELMAR_COLLECTOR_SECURE_COOKIE is 1 or 0\n");
        return 2;
    }
    ServerSettings settings{static_cast<std::size_t>(maxBodyKb) * 1024, options.at("chart-js"), "",
                            secure != options.end() && secure->second == "1"};
    auto secretFile = options.find("read-secret-file");
    if (secretFile != options.end() && !readReaderSecret(secretFile->second, settings.readerHash))
        return 2;
    std::unique_ptr<Store> store = openStore(options.at("db"));
    if (std::FILE* file = std::fopen(settings.chartJs.c_str(), "r")) {
        std::fclose(file);
    } else {
        std::printf("No Chart.js at %s: the page shows the table only\n", settings.chartJs.c_str());
        settings.chartJs.clear();
    }
    HttpLimits limits;
    limits.maxBody = settings.maxBody;
    // Two of the largest documents at once, one router's at most one of them: a router's burst
    // of chunked floods stays within 64 MiB. A reader's calibrations in a share of their own.
    limits.bodies = BudgetLimits{2 * settings.maxBody, settings.maxBody, settings.maxBody};
    limits.connections = static_cast<unsigned>(connections);
    limits.perPeer = static_cast<unsigned>(perAddress);
    std::string error;
    std::unique_ptr<HttpServer> server =
        HttpServer::start(listen.substr(0, colon), static_cast<int>(port), limits,
                          collectorRoutes(*store, settings), error);
    if (!server) {
        std::printf("Cannot listen on %s: %s\n", listen.c_str(), error.c_str());
        return 1;
    }
    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    std::thread retention;
    if (days > 0)
        retention = std::thread(keepDays, std::ref(*store), days, std::ref(lock), std::ref(wake),
                                std::cref(stopping));
    if (!settings.readerHash.empty()) {
        std::printf("Reading needs the reader secret of %s\n",
                    escapedForLog(secretFile->second).c_str());
    }
    std::printf("Listening on %s\n", listen.c_str());
    std::fflush(stdout);
    waitForStop();
    server.reset();
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    wake.notify_all();
    if (retention.joinable()) retention.join();
    std::printf("Stopped\n");
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef __GLIBC__
    // Bodies grow to megabytes and are freed: from mmap they grow by mremap without a copy and
    // go back to the system when freed. A fixed threshold stops glibc from raising its own after
    // the first such free, which would leave the next bodies in arenas that keep their memory.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "calibrate") {
        std::vector<std::string> rest(args.begin() + 2, args.end());
        try {
            return calibrateCommand(args[1], rest);
        } catch (const std::exception& error) {
            std::printf("%s\n", error.what());
            return 1;
        }
    }
    if (args.size() == 1 && args[0] == "--help") {
        std::printf("%s", kUsage);
        return 0;
    }
    if (args.size() == 1 && (args[0] == "--version" || args[0] == "-V")) {
        std::printf("pelmar-collector %s\n", PELMAR_VERSION);
        return 0;
    }
    // "token add NAME", "token revoke NAME" or "token list", then the options.
    std::size_t named = args.size() >= 2 && args[0] == "token" && args[1] != "list" ? 1 : 0;
    bool token = args.size() >= 2 + named && args[0] == "token" &&
                 (args[1] == "list" || args[1] == "add" || args[1] == "revoke");
    if (!token && !args.empty() && args[0] == "token") {
        std::fprintf(stderr,
                     "pelmar-collector: token add NAME, token list or token revoke NAME\n%s",
                     kUsage);
        return 2;
    }
    Options options;
    std::size_t first = token ? 2 + named : 0;
    if (!readOptions(std::vector<std::string>(args.begin() + first, args.end()), options)) {
        return 2;
    }
    try {
        return token ? tokenCommand({args.begin() + 1, args.begin() + first}, options)
                     : serve(options);
    } catch (const std::exception& error) {
        std::printf("%s\n", error.what());
        std::fflush(stdout);
        return 1;
    }
}
