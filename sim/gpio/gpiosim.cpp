#include "gpiosim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace gpiosim {

namespace {

constexpr int kMaxLine = 1023;
// A write is seen when its file is closed. Opens are watched too: between two writes to the same
// file there is then always another event, so the kernel never folds two writes into one event
// and each close stands for one write, in the order of all writes.
constexpr uint32_t kWatched = IN_CLOSE_WRITE | IN_OPEN;

// Replaces a file's contents; 0 or -1 with errno.
int WriteWhole(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -1;
    }
    ssize_t written = write(fd, text.data(), text.size());
    int error = errno;
    close(fd);
    errno = error;
    return written == static_cast<ssize_t>(text.size()) ? 0 : -1;
}

// What the file holds from `offset` on; its size and modification time into the others.
std::string ReadFrom(const std::string& path, off_t offset, off_t* size, timespec* time) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    struct stat info {};
    if (fstat(fd, &info) == 0) {
        *size = info.st_size;
        *time = info.st_mtim;
        if (info.st_size > offset) {
            text.resize(static_cast<size_t>(info.st_size - offset));
            ssize_t got = pread(fd, text.data(), text.size(), offset);
            text.resize(got > 0 ? static_cast<size_t>(got) : 0);
        }
    }
    close(fd);
    return text;
}

}  // namespace

int GpioSim::Start(const std::string& root) {
    if (thread_.joinable()) {
        errno = EBUSY;
        return -1;
    }
    gpio_ = root + "/sys/class/gpio";
    std::error_code error;
    std::filesystem::create_directories(gpio_, error);
    if (error) {
        errno = error.value();
        return -1;
    }
    if (WriteWhole(gpio_ + "/export", "") != 0 || WriteWhole(gpio_ + "/unexport", "") != 0) {
        return -1;
    }
    inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ < 0) {
        return -1;
    }
    int folder = inotify_add_watch(inotify_, gpio_.c_str(), kWatched);
    if (folder < 0 || pipe2(wake_, O_CLOEXEC) != 0) {
        int saved = errno;
        close(inotify_);
        inotify_ = -1;
        errno = saved;
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        exportConsumed_ = 0;
        watches_[folder] = -1;
    }
    thread_ = std::thread([this] { Run(); });
    return 0;
}

void GpioSim::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    char stop = 's';
    (void)!write(wake_[1], &stop, 1);
    thread_.join();
    close(wake_[0]);
    close(wake_[1]);
    close(inotify_);
    wake_[0] = wake_[1] = inotify_ = -1;
    std::lock_guard<std::mutex> lock(mutex_);
    watches_.clear();
}

void GpioSim::Run() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        ssize_t got = read(inotify_, buffer, sizeof buffer);
        if (got <= 0) {
            continue;
        }
        size_t before = 0;
        std::vector<Change> fresh;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            before = changes_.size();
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if ((event->mask & IN_Q_OVERFLOW) != 0) {
                    // Events were lost: take whatever the files now hold.
                    TakeExports();
                    for (auto& [line, state] : lines_) {
                        while (TakeValue(line)) {
                        }
                    }
                    continue;
                }
                auto watch = watches_.find(event->wd);
                if (watch == watches_.end() || event->len == 0) {
                    continue;
                }
                if ((event->mask & IN_CLOSE_WRITE) == 0) {
                    continue;  // opens are watched only so that no two writes share an event
                }
                std::string name = event->name;
                if (watch->second < 0 && name == "export") {
                    TakeExports();
                } else if (watch->second >= 0 && name == "value") {
                    TakeValue(watch->second);
                } else if (watch->second >= 0 && name == "direction") {
                    TakeDirection(watch->second);
                }
            }
            fresh.assign(changes_.begin() + static_cast<std::ptrdiff_t>(before), changes_.end());
        }
        if (!fresh.empty()) {
            std::function<void(const Change&)> listener;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                listener = listener_;
            }
            for (const Change& change : fresh) {
                if (listener) {
                    listener(change);
                }
            }
            written_.notify_all();
        }
    }
}

// Lock held from here on.

std::string GpioSim::LinePath(int line, const char* file) const {
    return gpio_ + "/gpio" + std::to_string(line) + "/" + file;
}

void GpioSim::TakeExports() {
    off_t size = 0;
    timespec time{};
    std::string text = ReadFrom(gpio_ + "/export", exportConsumed_, &size, &time);
    exportConsumed_ += static_cast<off_t>(text.size());
    // Each write is one number (the kernel takes one a write); the program waits for the line's
    // files before it writes the next, so they never run together here.
    size_t at = 0;
    while (at < text.size()) {
        if (!std::isdigit(static_cast<unsigned char>(text[at]))) {
            ++at;
            continue;
        }
        int line = 0;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) &&
               line <= kMaxLine) {
            line = line * 10 + (text[at++] - '0');
        }
        if (line <= kMaxLine && lines_.find(line) == lines_.end()) {
            ExportLine(line);
        }
    }
}

void GpioSim::ExportLine(int line) {
    std::string folder = gpio_ + "/gpio" + std::to_string(line);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    auto input = inputs_.find(line);
    int level = input != inputs_.end() ? input->second : 0;
    WriteWhole(LinePath(line, "value"), std::to_string(level) + "\n");
    lines_[line] = Line{"in", 2};
    int watch = inotify_add_watch(inotify_, folder.c_str(), kWatched);
    if (watch >= 0) {
        watches_[watch] = line;
    }
    exportOrder_.push_back(line);
    // The direction file last: its presence tells the program the line is ready.
    WriteWhole(LinePath(line, "direction"), "in\n");
}

bool GpioSim::TakeValue(int line) {
    Line& state = lines_[line];
    if (state.ownWrites > 0) {
        --state.ownWrites;  // the simulator's own write of an input's level
        return false;
    }
    off_t size = 0;
    timespec time{};
    std::string text = ReadFrom(LinePath(line, "value"), state.consumed, &size, &time);
    if (size < state.consumed) {
        // Written whole by someone (echo 1 > value): its digit is the value.
        state.consumed = 0;
        text = ReadFrom(LinePath(line, "value"), 0, &size, &time);
    }
    // One write, one digit: the next one not taken yet.
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '0' || text[at] == '1') {
            state.consumed += static_cast<off_t>(at + 1);
            changes_.push_back(Change{line, text[at] - '0', time});
            return true;
        }
    }
    state.consumed += static_cast<off_t>(text.size());
    return false;
}

void GpioSim::TakeDirection(int line) {
    off_t size = 0;
    timespec time{};
    std::string text = ReadFrom(LinePath(line, "direction"), 0, &size, &time);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    lines_[line].direction = text;
}

std::vector<Change> GpioSim::Changes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return changes_;
}

std::vector<int> GpioSim::ValuesOf(int line) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int> values;
    for (const Change& change : changes_) {
        if (change.line == line) {
            values.push_back(change.value);
        }
    }
    return values;
}

std::vector<int> GpioSim::Exported() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return exportOrder_;
}

std::string GpioSim::Direction(int line) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = lines_.find(line);
    return found != lines_.end() ? found->second.direction : "";
}

int GpioSim::SetInput(int line, int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    inputs_[line] = value != 0 ? 1 : 0;
    auto found = lines_.find(line);
    if (found == lines_.end()) {
        return 0;  // given at its export
    }
    if (WriteWhole(LinePath(line, "value"), std::to_string(inputs_[line]) + "\n") != 0) {
        return -1;
    }
    found->second.consumed = 2;
    ++found->second.ownWrites;
    return 0;
}

bool GpioSim::WaitForChanges(size_t count, std::chrono::milliseconds deadline) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return written_.wait_for(lock, deadline, [&] { return changes_.size() >= count; });
}

void GpioSim::SetListener(std::function<void(const Change&)> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

}  // namespace gpiosim
