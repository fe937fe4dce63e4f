#include "standin.h"

#include <fcntl.h>
#include <minIni.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "board.h"
#include "chanimage.h"
#include "clock.h"
#include "corerequest.h"
#include "journal.h"
#include "stationcore.h"
#include "stationfile.h"
#include "stationlog.h"
#include "tsdcore.h"
#include "tsdsite.h"

namespace {

// Waiting for messages: every queue is drained without waiting, then the stand-in waits for
// a stop signal for at most this long before looking again.
constexpr long kIdleWaitNs = 5 * 1000 * 1000;

// Largest message taken from a queue; anything longer is cut and refused.
constexpr size_t kMaxMessage = 8192;

struct QueueMessage {
    long type;
    uint8_t body[kMaxMessage];
};

// A queue the stand-in reads. Queue 22792 is its own; the queues of modmgr and of the
// communication-log reports belong to the station and may exist already (a module creates
// them when missing): they are used as found, and removed at the end only if this run made them.
struct Queue {
    int key;
    int mode;
    int id = -1;
    bool created = false;
};

enum QueueIndex { kQueueChanmgr, kQueueModmgr, kQueueCommLog, kQueueCount };

struct Owned {
    int shmId[kAreaCount];
    void* shmAt[kAreaCount];
    Queue queues[kQueueCount] = {{corekey::kChanmgrQueue, 0666},
                                 {corekey::kModmgrQueue, 0777},
                                 {corekey::kCommLogQueue, 0777}};
    std::string pidPath;
    bool pidWritten = false;
    tsdsim::Server tsd;
    std::string memoFile;  // removed at the end when this run wrote it
    std::string control;   // the cue FIFO, removed at the end when this run made it
    bool controlMade = false;
    int controlFd = -1;
    int controlKeep = -1;  // our own writer, so that the FIFO never reads end-of-file

    Owned() {
        for (int i = 0; i < kAreaCount; ++i) {
            shmId[i] = -1;
            shmAt[i] = nullptr;
        }
    }
};

std::string BoardPidPath() {
    return std::string("/var/run/") + kChanmgrName + ".pid";
}

std::string PidPath() {
    return StationPath(BoardPidPath());
}

// A reason not to start: logged, and said on stderr for the person who started the core.
void StartError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void StartError(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    StationLog(LOG_ERR, "%s", text);
    std::fprintf(stderr, "stationcore: %s\n", text);
}

// A fresh station root has no folders yet: make the one a file goes into.
void MakeParent(const std::string& path) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
}

// Removes what this run created, the pid file first so that no module takes the core for up.
void Release(Owned& owned) {
    if (owned.pidWritten) {
        unlink(owned.pidPath.c_str());
        owned.pidWritten = false;
    }
    owned.tsd.Close();
    if (!owned.memoFile.empty()) {
        unlink(owned.memoFile.c_str());
        owned.memoFile.clear();
    }
    for (int* fd : {&owned.controlFd, &owned.controlKeep}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    if (owned.controlMade) {
        unlink(owned.control.c_str());
        owned.controlMade = false;
    }
    for (Queue& queue : owned.queues) {
        if (queue.id >= 0 && queue.created) {
            msgctl(queue.id, IPC_RMID, nullptr);
        }
        queue.id = -1;
    }
    for (int i = 0; i < kAreaCount; ++i) {
        if (owned.shmAt[i] != nullptr) {
            shmdt(owned.shmAt[i]);
            owned.shmAt[i] = nullptr;
        }
        if (owned.shmId[i] >= 0) {
            shmctl(owned.shmId[i], IPC_RMID, nullptr);
            owned.shmId[i] = -1;
        }
    }
}

// A pid file naming a live process other than this one: another core is running.
int OtherCoreRunning(const std::string& path) {
    std::ifstream in(path);
    long pid = 0;
    if (!(in >> pid) || pid <= 0 || pid == getpid()) {
        return 0;
    }
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM ? static_cast<int>(pid) : 0;
}

int CreateMemory(int area, int channelCount, Owned& owned) {
    int key = ImageAreaKey(area);
    size_t size = ImageAreaSize(area, channelCount);
    int id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0666);
    if (id < 0 && errno == EEXIST) {
        // Left by a core that did not stop cleanly: start afresh.
        int stale = shmget(key, 0, 0);
        if (stale >= 0 && shmctl(stale, IPC_RMID, nullptr) == 0) {
            StationLog(LOG_WARNING, "stale memory %s key %d removed", ImageAreaName(area), key);
        }
        id = shmget(key, size, IPC_CREAT | IPC_EXCL | 0666);
    }
    if (id < 0) {
        StartError("cannot create memory %s key %d size %zu: %s", ImageAreaName(area), key, size,
                   std::strerror(errno));
        return -1;
    }
    owned.shmId[area] = id;
    void* at = shmat(id, nullptr, 0);
    if (at == reinterpret_cast<void*>(-1)) {
        StartError("cannot attach memory %s key %d: %s", ImageAreaName(area), key,
                   std::strerror(errno));
        return -1;
    }
    owned.shmAt[area] = at;
    std::memset(at, 0, size);
    return 0;
}

// Queue 22792 is made afresh: requests left by an earlier run are not this run's.
int OpenQueue(Queue& queue, bool afresh) {
    int id = msgget(queue.key, IPC_CREAT | IPC_EXCL | queue.mode);
    if (id < 0 && errno == EEXIST) {
        int found = msgget(queue.key, 0);
        if (afresh && found >= 0 && msgctl(found, IPC_RMID, nullptr) == 0) {
            StationLog(LOG_WARNING, "stale queue key %d removed", queue.key);
            id = msgget(queue.key, IPC_CREAT | IPC_EXCL | queue.mode);
        } else if (!afresh) {
            queue.id = found;
            queue.created = false;
            return found >= 0 ? 0 : -1;
        }
    }
    if (id < 0) {
        StartError("cannot open queue key %d: %s", queue.key, std::strerror(errno));
        return -1;
    }
    queue.id = id;
    queue.created = true;
    return 0;
}

// The pid file appears whole or not at all, as the modules' own state files do.
int WritePid(Owned& owned) {
    owned.pidPath = PidPath();
    MakeParent(owned.pidPath);
    char text[32];
    int n = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    if (DurableWriteFile(BoardPidPath().c_str(), text, static_cast<size_t>(n), 0644) != 0) {
        StartError("cannot write %s: %s", owned.pidPath.c_str(), std::strerror(errno));
        return -1;
    }
    owned.pidWritten = true;
    return 0;
}

// Opens the cue FIFO (made when missing). 0, or -1 after saying why.
int OpenControl(const std::string& path, Owned& owned) {
    owned.control = path;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (mkfifo(path.c_str(), 0600) != 0) {
            StartError("cannot make FIFO %s: %s", path.c_str(), std::strerror(errno));
            return -1;
        }
        owned.controlMade = true;
    }
    owned.controlFd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    owned.controlKeep = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (owned.controlFd < 0) {
        StartError("cannot open FIFO %s: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    return 0;
}

class Core {
  public:
    Core(const Site& site, ChannelImage& image, Journal& journal, Owned& owned,
         const tsdsim::Settings& settings)
        : site_(site),
          image_(image),
          journal_(journal),
          owned_(owned),
          logger_(image, settings, owned.tsd) {}

    // Takes every waiting message of every queue, sends the late answers that are due and
    // applies the cues written into the FIFO; true when there was at least one message.
    bool Drain();
    // How long the loop may wait before something is due: at most `idle`.
    long WaitNs(long idle) const;

  private:
    void ReadControl();

    bool Take(Queue& queue);
    void Chanmgr(size_t size);
    void Modmgr(size_t size);
    void CommLog(size_t size);

    const Site& site_;
    ChannelImage& image_;
    Journal& journal_;
    Owned& owned_;
    tsdsim::WriteLogger logger_;
    std::string pending_;  // FIFO bytes short of a line end
    QueueMessage message_{};
    CoreRequest request_{};
    CommLogReport report_{};
    ItemOutcome outcomes_[kCoreMaxItems];
};

bool Core::Drain() {
    ReadControl();
    bool any = false;
    for (Queue& queue : owned_.queues) {
        while (Take(queue)) {
            any = true;
        }
    }
    any = owned_.tsd.Poll(MonotonicMs(), &journal_) || any;
    return any;
}

long Core::WaitNs(long idle) const {
    long long due = owned_.tsd.NextDueMs(MonotonicMs());
    return due >= 0 && due * 1000000LL < idle ? static_cast<long>(due * 1000000LL) : idle;
}

void Core::ReadControl() {
    if (owned_.controlFd < 0) {
        return;
    }
    char buffer[512];
    ssize_t n;
    while ((n = read(owned_.controlFd, buffer, sizeof buffer)) > 0) {
        pending_.append(buffer, static_cast<size_t>(n));
    }
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        std::string error;
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        if (tsdsim::ApplyCue(line, owned_.tsd.cues(), error) != 0) {
            StationLog(LOG_WARNING, "%s", error.c_str());
        } else {
            StationLog(LOG_INFO, "cue %s", line.c_str());
        }
    }
}

bool Core::Take(Queue& queue) {
    if (queue.id < 0) {
        return false;
    }
    ssize_t n = msgrcv(queue.id, &message_, sizeof message_.body, 0, IPC_NOWAIT | MSG_NOERROR);
    if (n < 0) {
        if (errno == EIDRM || errno == EINVAL) {
            // Someone removed the queue: modules would fail to send, so put it back.
            StationLog(LOG_ERR, "queue key %d was removed, created again", queue.key);
            queue.id = msgget(queue.key, IPC_CREAT | queue.mode);
            queue.created = queue.id >= 0;
        } else if (errno != ENOMSG && errno != EINTR) {
            StationLog(LOG_ERR, "receive on queue key %d: %s", queue.key, std::strerror(errno));
        }
        return false;
    }
    if (queue.key == corekey::kModmgrQueue) {
        Modmgr(static_cast<size_t>(n));
    } else if (queue.key == corekey::kCommLogQueue) {
        CommLog(static_cast<size_t>(n));
    } else {
        Chanmgr(static_cast<size_t>(n));
    }
    return true;
}

void Core::Chanmgr(size_t size) {
    const int queue = corekey::kChanmgrQueue;
    if (message_.type != kRequestMsgType) {
        char why[80];
        std::snprintf(why, sizeof why, "message type %ld, requests carry type %ld", message_.type,
                      kRequestMsgType);
        journal_.Error(queue, message_.type, message_.body, size, why);
        StationLog(LOG_WARNING, "request dropped: %s", why);
        return;
    }
    if (DecodeCoreRequest(message_.body, size, request_) != 0) {
        journal_.Error(queue, message_.type, message_.body, size, request_.error);
        StationLog(LOG_WARNING, "request dropped: %s", request_.error);
        return;
    }
    if (request_.command == kCmdSetTime) {
        // Recorded only: the stand-in never sets the clock of the machine it runs on.
        journal_.Request(queue, message_.type, size, request_, nullptr);
        StationLog(LOG_INFO, "time setting to %u asked by pid %u", request_.time,
                   request_.header.pid);
        return;
    }
    logger_.SetTime(request_.header.seconds);
    ApplyCoreRequest(request_, site_, image_, outcomes_, &logger_);
    journal_.Request(queue, message_.type, size, request_, outcomes_);
}

void Core::Modmgr(size_t size) {
    const int queue = corekey::kModmgrQueue;
    if (DecodeModmgrNotice(message_.body, size, request_) != 0) {
        journal_.Error(queue, message_.type, message_.body, size, request_.error);
        StationLog(LOG_WARNING, "modmgr notice dropped: %s", request_.error);
        return;
    }
    journal_.Notice(queue, message_.type, size, request_);
}

void Core::CommLog(size_t size) {
    const int queue = corekey::kCommLogQueue;
    if (DecodeCommLogReport(message_.body, size, report_) != 0) {
        journal_.Error(queue, message_.type, message_.body, size, report_.error);
        StationLog(LOG_WARNING, "communication-log report dropped: %s", report_.error);
        return;
    }
    journal_.Report(queue, message_.type, size, report_);
    owned_.tsd.AppendComm(report_.header.seconds, report_.event, report_.data);
}

// The tsd objects, its tables with the site's lines, and the cues of the site then of the
// command line. 0, or -1 after saying why.
int OpenTsd(const Site& site, const StandInOptions& options, const ChannelImage& image,
            const tsdsim::Settings& settings, Owned& owned) {
    tsdsim::Layout layout;
    bool wrote = false;
    std::string error;
    if (tsdsim::MakeLayout(site, settings, layout, wrote, error) != 0) {
        StartError("%s", error.c_str());
        return -1;
    }
    if (wrote) {
        owned.memoFile = StationPath(tsdsim::kMemoSizeFile);
    }
    if (owned.tsd.Open(layout, error) != 0) {
        StartError("%s", error.c_str());
        return -1;
    }
    std::vector<std::string> errors;
    if (tsdsim::PreloadLines(site, options.site, image, settings, owned.tsd, errors) != 0) {
        for (const std::string& line : errors) {
            StartError("%s", line.c_str());
        }
        return -1;
    }
    for (const SiteCue& cue : site.cues) {
        tsdsim::ApplyCue(cue.text, owned.tsd.cues(), error);
    }
    for (const std::string& cue : options.cues) {
        tsdsim::ApplyCue(cue, owned.tsd.cues(), error);
    }
    StationLog(LOG_INFO, "tsd ready: station log %u lines, communication log %u lines, %zu memos",
               layout.stationLog, layout.commLog, layout.memos.size());
    return 0;
}

int LoadSite(const StandInOptions& options, Site& site) {
    std::vector<std::string> errors;
    int faults = options.site.empty() ? ParseSite("", "(no site)", site, errors)
                                      : LoadSiteFile(options.site, site, errors);
    for (const std::string& error : errors) {
        std::fprintf(stderr, "stationcore: %s\n", error.c_str());
        StationLog(LOG_ERR, "%s", error.c_str());
    }
    return faults == 0 ? 0 : -1;
}

}  // namespace

int StandInArguments(int argc, char** argv, StandInOptions& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string item = argv[i];
        size_t equal = item.find('=');
        std::string key = item.substr(0, equal);
        std::string value = equal == std::string::npos ? "" : item.substr(equal + 1);
        if (item == "--print") {
            options.print = true;
        } else if (equal == std::string::npos) {
            error = "argument \"" + item + "\" is not of the form Key=Value";
            return kStandInUsage;
        } else if (key == "Site") {
            options.site = value;
        } else if (key == "Journal") {
            options.journal = value;
        } else if (key == "Print") {
            options.print = value != "0";
        } else if (key == "Cue") {
            tsdsim::Cues scratch;
            if (tsdsim::ApplyCue(value, scratch, error) != 0) {
                return kStandInUsage;
            }
            options.cues.push_back(value);
        } else if (key == "Control") {
            options.control = value;
        } else {
            error = "unknown argument \"" + key + "\"";
            return kStandInUsage;
        }
    }
    if (options.journal.empty()) {
        options.journal = StationPath(kStandInJournal);
    }
    return 0;
}

int StandInChannelCount(const Site& site, std::string& note) {
    const std::string files[] = {StationPath("/tmp/orxapp.ini"), StationPath("/etc/orxapp.ini")};
    char text[2][32] = {};
    bool present[2] = {};
    for (int i = 0; i < 2; ++i) {
        present[i] =
            ini_gets("ENV", "CHANNEL_MAX_NB", "", text[i], sizeof text[i], files[i].c_str()) > 0;
    }
    int count = site.channelCount;
    const char* given = present[0] ? text[0] : present[1] ? text[1] : nullptr;
    if (given != nullptr) {
        // As the modules decode it: a number out of bounds gives the lower bound.
        long value = std::strtol(given, nullptr, 10);
        count = value >= kSiteMinChannels && value <= kSiteMaxChannels ? static_cast<int>(value)
                                                                       : kSiteMinChannels;
        if (site.channelCountGiven && count != site.channelCount) {
            note = "the site asks for " + std::to_string(site.channelCount) +
                   " channels, CHANNEL_MAX_NB of the station INI gives " + std::to_string(count) +
                   ": " + std::to_string(count) + " channels";
        }
    }
    std::string value = std::to_string(count);
    for (int i = 0; i < 2; ++i) {
        if (present[i]) {
            continue;
        }
        MakeParent(files[i]);
        if (ini_puts("ENV", "CHANNEL_MAX_NB", value.c_str(), files[i].c_str()) == 0) {
            StationLog(LOG_WARNING, "cannot write CHANNEL_MAX_NB into %s", files[i].c_str());
        }
    }
    return count;
}

int StandInRun(const StandInOptions& options) {
    Site site;
    if (LoadSite(options, site) != 0) {
        return kStandInFailed;
    }
    std::string note;
    int count = StandInChannelCount(site, note);
    if (!note.empty()) {
        StationLog(LOG_WARNING, "%s", note.c_str());
    }
    std::vector<std::string> errors;
    if (SiteFitChannels(site, count, errors) != 0) {
        for (const std::string& error : errors) {
            std::fprintf(stderr, "stationcore: %s\n", error.c_str());
            StationLog(LOG_ERR, "%s", error.c_str());
        }
        return kStandInFailed;
    }

    // Stop signals are taken synchronously by the loop; none can arrive between a check and
    // a wait.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    sigprocmask(SIG_BLOCK, &stops, nullptr);

    Owned owned;
    int other = OtherCoreRunning(PidPath());
    if (other != 0) {
        StartError("another station core is running (pid %d)", other);
        return kStandInFailed;
    }
    const tsdsim::Settings settings = tsdsim::ReadSettings();
    ChannelImage image;
    image.channelCount = count;
    for (int area = 0; area < kAreaCount; ++area) {
        if (CreateMemory(area, count, owned) != 0) {
            Release(owned);
            return kStandInFailed;
        }
        image.area[area] = static_cast<uint8_t*>(owned.shmAt[area]);
    }
    ImageFill(image, site);

    Journal journal;
    MakeParent(options.journal);
    if (journal.Open(options.journal.c_str()) != 0) {
        StartError("cannot open journal %s: %s", options.journal.c_str(), std::strerror(errno));
        Release(owned);
        return kStandInFailed;
    }
    if (OpenTsd(site, options, image, settings, owned) != 0 ||
        OpenQueue(owned.queues[kQueueChanmgr], true) != 0 ||
        OpenQueue(owned.queues[kQueueModmgr], false) != 0 ||
        OpenQueue(owned.queues[kQueueCommLog], false) != 0 ||
        (!options.control.empty() && OpenControl(options.control, owned) != 0) ||
        WritePid(owned) != 0) {
        Release(owned);
        return kStandInFailed;
    }
    StationLog(LOG_INFO, "station core ready: %d channels, %zu declared, journal %s", count,
               site.channels.size(), options.journal.c_str());

    Core core(site, image, journal, owned, settings);
    siginfo_t info;
    int signal = -1;
    for (;;) {
        bool busy = core.Drain();
        timespec wait{0, busy ? 0 : core.WaitNs(kIdleWaitNs)};
        signal = sigtimedwait(&stops, &info, &wait);
        if (signal == SIGTERM || signal == SIGINT || signal == SIGHUP) {
            break;
        }
    }
    // What is still queued was sent before the stop: journal it too.
    core.Drain();
    Release(owned);
    journal.Close();
    StationLog(LOG_INFO, "station core stopped by signal %d", signal);
    return kStandInStopped;
}

int StandInPrintLive(FILE* out) {
    ChannelImage image;
    void* at[kAreaCount] = {};
    int status = 0;
    size_t sizes[kAreaCount] = {};
    for (int area = 0; area < kAreaCount && status == 0; ++area) {
        int id = shmget(ImageAreaKey(area), 0, 0);
        shmid_ds ds{};
        if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0) {
            std::fprintf(stderr, "stationcore: no memory %s (key %d): is the core running?\n",
                         ImageAreaName(area), ImageAreaKey(area));
            status = kStandInFailed;
            break;
        }
        sizes[area] = ds.shm_segsz;
        at[area] = shmat(id, nullptr, SHM_RDONLY);
        if (at[area] == reinterpret_cast<void*>(-1)) {
            at[area] = nullptr;
            std::fprintf(stderr, "stationcore: cannot attach memory %s: %s\n", ImageAreaName(area),
                         std::strerror(errno));
            status = kStandInFailed;
        }
        image.area[area] = static_cast<uint8_t*>(at[area]);
    }
    if (status == 0) {
        // N from the information memory; every other memory must be big enough for it.
        image.channelCount =
            sizes[kAreaInfo] >= 2 ? static_cast<int>((sizes[kAreaInfo] - 2) / kRecordSize) : 0;
        for (int area = 0; area < kAreaCount; ++area) {
            if (sizes[area] < ImageAreaSize(area, image.channelCount)) {
                std::fprintf(stderr, "stationcore: memory %s holds %zu bytes, %zu expected\n",
                             ImageAreaName(area), sizes[area],
                             ImageAreaSize(area, image.channelCount));
                status = kStandInFailed;
            }
        }
    }
    if (status == 0) {
        ImagePrint(image, out);
    }
    for (void* a : at) {
        if (a != nullptr) {
            shmdt(a);
        }
    }
    return status;
}
