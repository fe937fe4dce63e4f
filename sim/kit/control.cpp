#include "kit/control.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace simkit {

ControlFifo::~ControlFifo() {
    Close();
}

int ControlFifo::Open(const char* program, const std::string& path) {
    if (path.empty()) {
        return 0;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (mkfifo(path.c_str(), 0600) != 0) {
            fprintf(stderr, "%s: fifo %s: %s\n", program, path.c_str(), strerror(errno));
            return -1;
        }
        made_ = true;
    }
    path_ = path;
    fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    keep_ = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd_ < 0) {
        int error = errno;
        fprintf(stderr, "%s: fifo %s: %s\n", program, path.c_str(), strerror(error));
        errno = error;
        return -1;
    }
    return 0;
}

void ControlFifo::Close() {
    for (int* fd : {&fd_, &keep_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    if (made_) {
        unlink(path_.c_str());
        made_ = false;
    }
}

void ControlFifo::Take(const std::function<void(const std::string& line)>& apply) {
    if (fd_ < 0) {
        return;
    }
    char buffer[512];
    for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;) {
        pending_.append(buffer, static_cast<size_t>(n));
    }
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        apply(line);
    }
}

}  // namespace simkit
