#include "report/report_turn.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>

#include "clock.h"
#include "log.h"
#include "report/backup.h"
#include "report/environment.h"
#include "report/status.h"
#include "report/stored_document.h"
#include "stop.h"

namespace {

// Room left on the command line beside an inline document.
constexpr std::size_t kCommandRoom = 4096;

enum class Upload { kPosted, kFailed, kStopped };

Transport transportFor(const ReportSettings& settings, const ReportState& state) {
    Transport transport;
    transport.endpoint = settings.endpoint.value_or("");
    transport.options.show = settings.showCurl;
    transport.options.failOnHttp = settings.spoolDir.has_value();
    transport.options.verifyTls = settings.verifyTls;
    transport.options.maxTime = std::max(settings.uploadTimeout, 0);
    transport.readStatus = settings.spoolDir.has_value() || settings.readStatus;
    transport.timeout = settings.uploadTimeout;
    transport.run = state.run;
    return transport;
}

// The spool, opened (directory made, left-overs removed, cap kept) on first use, and kept to
// its cap on every turn after.
Spool* spoolOf(const ReportSettings& settings, ReportState& state) {
    if (!settings.spoolDir) return nullptr;
    if (!state.spool) {
        state.spool.emplace();
        state.spool->dir = *settings.spoolDir;
        state.spool->maxBytes = settings.spoolMaxBytes;
        openSpool(*state.spool);
    } else if (spoolUsable(*state.spool)) {
        enforceCap(*state.spool, 0);
    }
    return &*state.spool;
}

// Says once when reports start failing and once when they work again; true when `failure` is
// empty.
bool noteReport(ReportState& state, const std::string& failure) {
    if (failure.empty() && state.reportsFailing) logLine("Reports work again");
    if (!failure.empty() && !state.reportsFailing) logLine("Reports failing: %s", failure.c_str());
    state.reportsFailing = !failure.empty();
    return failure.empty();
}

// The table's device window taken for one document: it closes when `made` says the document
// reached a place, else its count waits for the next document (a retried or kept one).
struct TakenWindow {
    TakenWindow(const EntryList& list, DocumentCounting counting) : counting(counting) {
        if (!counting.devices) return;
        window = &list.devices;
        take = takeWindow(*window);
        this->counting.windowDevices = take.devices;
    }
    ~TakenWindow() {
        if (window) windowMade(*window, take, made);
    }
    TakenWindow(const TakenWindow&) = delete;
    TakenWindow& operator=(const TakenWindow&) = delete;
    DocumentCounting counting;  // with the window's count
    DeviceWindow* window = nullptr;
    WindowTake take;
    bool made = false;
};

// Tells the status about a document made whole.
void noteMadeDocument(const StoredDocument& document, std::time_t time,
                      const DocumentCounting& counting) {
    std::optional<uint32_t> devices;
    if (counting.devices) devices = counting.windowDevices;
    noteDocument(time, devices, document.records);
}

// Tells the status a turn ended, with the spool's files and bytes: scanned only when a status is
// kept.
void noteTurn(const ReportSettings& settings) {
    if (!statusKept()) return;
    uint64_t files = 0, bytes = 0;
    if (settings.spoolDir) {
        for (const std::string& path : spooledFiles(*settings.spoolDir)) {
            struct stat status;
            if (lstat(path.c_str(), &status) != 0) continue;
            ++files;
            bytes += static_cast<uint64_t>(status.st_size);
        }
    }
    noteReportTurn(files, bytes);
}

// Makes the document in memory, or in a temporary file once it is long; empty, or why not.
std::string make(StoredDocument& document, const ReportSettings& settings,
                 const TakenWindow& window, const EntryList& list, std::time_t now,
                 AfterWalk after = AfterWalk::kKeep) {
    DocumentPlace place{kInlineDocumentLimit, {temporaryFilePattern()}, 0};
    if (settings.endpoint) place.memoryLimit = kArgumentLimit - kCommandRoom;
    makeDocument(document, hostName(), now, list, settings.privacy, place, after, window.counting,
                 clockSynced(settings.clockMarker).value_or(true));
    switch (document.state) {
        case StoredDocument::kWhole:
            noteMadeDocument(document, now, window.counting);
            return "";
        case StoredDocument::kNoFile:
            return "no temporary file for a document of " + std::to_string(document.size) +
                   " bytes";
        case StoredDocument::kWriteFailed:
            break;
    }
    const std::string& pattern = place.patterns.front();
    return "cannot write the document in " + pattern.substr(0, pattern.rfind('/'));
}

// Posts the document and says when uploads start failing or work again.
Upload upload(const StoredDocument& document, const Transport& transport, ReportState& state) {
    PostResult result = document.fd < 0 ? postInline(transport, document.text)
                                        : postFile(transport, document.fd, document.size);
    if (result.command.outcome == CommandResult::kStopped) return Upload::kStopped;
    bool ok = delivered(result);
    if (ok && state.uploadsFailing) logLine("Uploads work again");
    const std::string failure = ok ? std::string() : postFailure(result, transport.timeout);
    if (!ok && !state.uploadsFailing) logLine("Uploads failing: %s", failure.c_str());
    noteUpload(ok, result.statusRead ? result.httpStatus : 0, failure);
    state.uploadsFailing = !ok;
    return ok ? Upload::kPosted : Upload::kFailed;
}

// A descriptor closed at the end of the scope.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

// Why the spooled file at `path` cannot be sent at all, or empty with it open in `file` and
// its `size`.
std::string unsendable(const std::string& path, Descriptor& file, std::size_t& size) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return "gone";
    if (S_ISLNK(status.st_mode)) return "a symbolic link";
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    file.fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file.fd < 0) return "cannot be read";
    bool regular = fstat(file.fd, &status) == 0 && S_ISREG(status.st_mode);
    size = static_cast<std::size_t>(status.st_size);
    return regular ? "" : "not a regular file";
}

// Sends a few spooled documents, oldest first: each is removed once delivered, taken out of
// the way when it cannot be sent or is refused for good, and left for later (with the ones
// behind it) on a passing failure. Only the turn's own upload says whether uploads work.
void sendSpooled(Spool& spool, const Transport& transport) {
    int tried = 0;
    for (const std::string& path : spooledFiles(spool.dir)) {
        if (tried++ == kSpoolBatch || stopRequested() || !spoolUsable(spool)) return;
        std::size_t size = 0;
        Descriptor file;
        std::string why = unsendable(path, file, size);
        if (why == "gone") continue;
        if (!why.empty()) {
            rejectFile(spool, path, why);
            continue;
        }
        PostResult result = postFile(transport, file.fd, size);
        if (delivered(result)) {
            removeDelivered(spool, path);
        } else if (refusedForGood(result)) {
            rejectFile(spool, path, "HTTP " + std::to_string(result.httpStatus));
        } else {
            return;
        }
    }
}

// Writes the backup when backups are on and keeps the directory to its limits, this run's
// backups in the order written; what the backup came to.
BackupOutcome backUp(const ReportSettings& settings, const StoredDocument& document,
                     ReportState& state) {
    BackupOutcome outcome = writeBackup(documentWriter(document, "\n"), *settings.backupDir);
    const bool failed = outcome.on && outcome.name.empty();
    if (failed && !state.backupsFailing) {
        logLine("Backups failing: cannot write in %s", settings.backupDir->c_str());
    }
    if (!failed && outcome.on && state.backupsFailing) logLine("Backups work again");
    if (outcome.on) state.backupsFailing = failed;
    if (!outcome.name.empty()) {
        std::vector<std::string>& written = state.backupsWritten;
        written.erase(std::remove(written.begin(), written.end(), outcome.name), written.end());
        written.push_back(outcome.name);
    }
    pruneBackups(*settings.backupDir, settings.backupMaxFiles, settings.backupMaxBytes,
                 state.backupsWritten);
    return outcome;
}

// Delivers the made document: upload, backup, then the spool (sent after a success, keeping the
// document after a failure); false when it was lost (see report()).
bool deliver(const ReportSettings& settings, const StoredDocument& document, ReportState& state,
             Spool* spool, bool closing, bool& stopped) {
    Transport transport = transportFor(settings, state);
    Upload sent = settings.endpoint ? upload(document, transport, state) : Upload::kFailed;
    stopped = sent == Upload::kStopped;
    BackupOutcome backedUp;
    if (settings.backupDir) backedUp = backUp(settings, document, state);
    // Safe once delivered or backed up; with neither an endpoint nor backups on, none wants it.
    bool safe =
        sent == Upload::kPosted || !backedUp.name.empty() || (!settings.endpoint && !backedUp.on);
    state.lastDelivered = sent == Upload::kPosted;
    if (!spool || !settings.endpoint || !spoolUsable(*spool)) return safe;
    if (sent == Upload::kPosted) sendSpooled(*spool, transport);
    // A stop keeps its own last document, but the table no longer holds a closed day's.
    if (sent == Upload::kFailed || (sent == Upload::kStopped && closing)) {
        state.lastDelivered = keepDocument(*spool, document.size, documentWriter(document));
        safe = state.lastDelivered || safe;
    }
    return safe;
}

// One report; false when its document was lost (see report()).
bool reportOnce(const ReportSettings& settings, const EntryList& list, ReportState& state,
                std::optional<std::time_t> closingDay) {
    Spool* spool = spoolOf(settings, state);
    std::time_t now = closingDay ? *closingDay : wallClock();
    TakenWindow window(list, settings.counting);
    StoredDocument document;
    AfterWalk after = closingDay ? AfterWalk::kNewDay : AfterWalk::kKeep;
    if (!noteReport(state, make(document, settings, window, list, now, after))) return false;
    state.dayClosed = closingDay.has_value();
    bool stopped = false;
    const bool safe = deliver(settings, document, state, spool, closingDay.has_value(), stopped);
    // The document a stop keeps in place of one whose upload it cut carries its count.
    window.made = safe && !(stopped && !closingDay);
    return safe;
}

}  // namespace

std::size_t spoolBytes(int kilobytes) {
    uint64_t bytes = static_cast<uint64_t>(kilobytes > 0 ? kilobytes : 0) * 1024;
    return bytes > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(bytes);
}

namespace {

bool reportAndDeliver(const ReportSettings& settings, const EntryList& list, ReportState& state,
                      std::optional<std::time_t> closingDay) {
    state.dayClosed = false;
    state.lastDelivered = false;
    state.lastSafe = true;
    if (!settings.endpoint && !settings.backupDir) {
        if (closingDay) askNewDay(list);
        state.dayClosed = closingDay.has_value();
        return true;
    }
    CleanupHold hold;               // a stop waits until this report's files are in place or gone
    if (!hold.held()) return true;  // a stop ends the process as its signal says
    state.lastSafe = false;
    try {
        state.lastSafe = reportOnce(settings, list, state, closingDay);
    } catch (const std::bad_alloc&) {
        noteReport(state, "out of memory");  // the next turn tries again
    } catch (const std::exception& failure) {
        noteReport(state, failure.what());
    }
    return state.lastSafe;
}

}  // namespace

bool report(const ReportSettings& settings, const EntryList& list, ReportState& state,
            std::optional<std::time_t> closingDay) {
    const bool safe = reportAndDeliver(settings, list, state, closingDay);
    noteTurn(settings);
    return safe;
}

void keepLastDocument(const ReportSettings& settings, const EntryList& list, ReportState& state,
                      std::optional<std::time_t> closingDay) {
    if (!settings.spoolDir) return;
    try {
        Spool* spool = spoolOf(settings, state);
        TakenWindow window(list, settings.counting);
        StoredDocument document;
        const AfterWalk after = closingDay ? AfterWalk::kNewDay : AfterWalk::kKeep;
        const std::time_t now = closingDay.value_or(wallClock());
        if (!noteReport(state, make(document, settings, window, list, now, after))) return;
        window.made = keepDocument(*spool, document.size, documentWriter(document));
        if (window.made) logLine("Stopping: the last document is kept in the spool");
    } catch (const std::bad_alloc&) {
        noteReport(state, "out of memory");
    }
}
