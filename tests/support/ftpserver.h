// A real FTP server for a test: sim/ftp/ftpserver (pyftpdlib, run by Debian's /usr/bin/python3)
// on 127.0.0.1, on a port the system chooses, serving a folder of the test. It can also play a
// server that accepts and never answers (silent) or greets and then never answers (mute), and cut
// uploads partway, as a link that breaks leaves a file on the server. It is
// stopped by its own pid (SIGTERM, then SIGKILL after 5 s) and ends by itself after two minutes.
#pragma once

#include <string>
#include <vector>

#include "process.h"

class FtpServer {
  public:
    struct User {
        std::string name;
        std::string password;
    };
    enum class Mode { kNormal, kSilent, kMute };
    // PEM files of the server's certificate (chain) and key: with them, AUTH TLS and protected
    // data connections are required.
    struct Tls {
        std::string certificate;
        std::string key;
    };

    // Starts the server on `root` (a host folder, made when missing) and waits up to 10 s for it
    // to listen. Each of `cuts`, in order, cuts one upload: the first to reach that many bytes
    // keeps them and is answered 426.
    FtpServer(const std::string& root, const std::vector<User>& users, Mode mode = Mode::kNormal,
              const std::vector<long>& cuts = {}, const Tls& tls = {});
    ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    bool Ready() const { return port_ > 0; }
    int Port() const { return port_; }
    // "127.0.0.1:<port>", as remoteexport's "Server" argument takes it.
    std::string Address() const;
    // The server's log of commands and transfers.
    std::string Log() const;
    ProgramResult Stop();

  private:
    std::string dir_;
    Process process_;
    int port_ = 0;
    bool stopped_ = false;
};

// A port of 127.0.0.1 where nothing listens (one the system just gave and took back).
int ClosedPort();
