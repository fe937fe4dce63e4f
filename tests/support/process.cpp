#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnv) {
    char pathTemplate[] = "/tmp/station-output-XXXXXX";
    int outFd = mkstemp(pathTemplate);
    if (outFd < 0) {
        std::perror("mkstemp");
        return;
    }
    outputPath_ = pathTemplate;

    std::vector<std::string> argStrings;
#ifdef STATION_EMULATOR
    // A cross build: the programs it built are for the board and start through the emulator
    // (its words are separated by spaces); the machine's own programs start as they are.
    if (program.rfind(STATION_BIN_DIR "/", 0) == 0) {
        std::istringstream emulator(STATION_EMULATOR);
        for (std::string word; emulator >> word;) {
            argStrings.push_back(word);
        }
    }
#endif
    argStrings.push_back(program);
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStrings) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    // An extra variable replaces the test's own of the same name (STATION_ROOT, for one):
    // with both in the environment the program would see the first.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string item(*e);
        std::string name = item.substr(0, item.find('=') + 1);
        bool replaced = false;
        for (const std::string& extra : extraEnv) {
            replaced = replaced || extra.compare(0, name.size(), name) == 0;
        }
        if (!replaced) {
            envStrings.push_back(std::move(item));
        }
    }
    envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (std::string& item : envStrings) {
        envp.push_back(item.data());
    }
    envp.push_back(nullptr);

    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // A test runner killed (a time-out, a cut pipe) takes its programs with it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) {
            dup2(devNull, 0);
        }
        dup2(outFd, 1);
        dup2(outFd, 2);
        execve(argv[0], argv.data(), envp.data());
        std::fprintf(stderr, "exec %s: %d\n", argv[0], errno);
        _exit(127);
    }
    close(outFd);
}

Process::~Process() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (!outputPath_.empty()) {
        unlink(outputPath_.c_str());
    }
}

Process::Process(Process&& other) noexcept {
    *this = std::move(other);
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        std::swap(pid_, other.pid_);
        std::swap(reaped_, other.reaped_);
        std::swap(waitStatus_, other.waitStatus_);
        std::swap(outputPath_, other.outputPath_);
    }
    return *this;
}

void Process::Reap(int waitStatus) {
    reaped_ = true;
    waitStatus_ = waitStatus;
}

bool Process::Running() {
    if (pid_ <= 0 || reaped_) {
        return false;
    }
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        Reap(status);
        return false;
    }
    return r == 0;
}

bool Process::Signal(int signal) const {
    return pid_ > 0 && !reaped_ && kill(pid_, signal) == 0;
}

ProgramResult Process::Wait(std::chrono::milliseconds bound) {
    ProgramResult result;
    if (pid_ <= 0) {
        return result;
    }
    auto end = std::chrono::steady_clock::now() + bound;
    auto pause = std::chrono::microseconds(200);
    while (Running()) {
        if (std::chrono::steady_clock::now() >= end) {
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
            Reap(status);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
    if (WIFEXITED(waitStatus_)) {
        result.exited = true;
        result.status = WEXITSTATUS(waitStatus_);
    } else if (WIFSIGNALED(waitStatus_)) {
        result.signal = WTERMSIG(waitStatus_);
    }
    result.output = Output();
    return result;
}

std::string Process::Output() const {
    std::ifstream in(outputPath_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         std::chrono::milliseconds bound,
                         const std::vector<std::string>& extraEnv) {
    Process process(program, args, extraEnv);
    return process.Wait(bound);
}
