#include "ftpserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sandbox.h"

namespace fs = std::filesystem;

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

FtpServer::FtpServer(const std::string& root, const std::vector<User>& users, Mode mode,
                     const std::vector<long>& cuts, const Tls& tls) {
    fs::create_directories(root);
    char pattern[] = "/tmp/station-ftp-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return;
    }
    dir_ = pattern;
    std::vector<std::string> args{SourcePath("sim/ftp/ftpserver"),
                                  "--root",
                                  root,
                                  "--port-file",
                                  dir_ + "/port",
                                  "--log",
                                  dir_ + "/log"};
    for (const User& user : users) {
        args.insert(args.end(), {"--user", user.name, "--password", user.password});
    }
    args.insert(args.end(), {"--mode", mode == Mode::kNormal   ? "normal"
                                       : mode == Mode::kSilent ? "silent"
                                                               : "mute"});
    for (long cut : cuts) {
        args.insert(args.end(), {"--cut", std::to_string(cut)});
    }
    if (!tls.certificate.empty()) {
        args.insert(args.end(), {"--tls", tls.certificate, tls.key});
    }
    process_ = Process("/usr/bin/python3", args);
    WaitUntil([&] { return fs::exists(dir_ + "/port") || !process_.Running(); },
              std::chrono::seconds(10));
    const std::string port = Slurp(dir_ + "/port");
    port_ = port.empty() ? 0 : std::stoi(port);
}

FtpServer::~FtpServer() {
    Stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
}

std::string FtpServer::Address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

std::string FtpServer::Log() const {
    return Slurp(dir_ + "/log");
}

ProgramResult FtpServer::Stop() {
    if (stopped_ || !process_.Started()) {
        return {};
    }
    stopped_ = true;
    process_.Signal(SIGTERM);
    return process_.Wait(std::chrono::seconds(5));
}

int ClosedPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(s);
    return port;
}
