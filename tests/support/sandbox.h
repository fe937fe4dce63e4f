// Test support: a private station for one test process. EnterTestNamespaces() gives the process
// its own IPC and mount namespaces (so the fixed keys of the core never meet another test's);
// Sandbox lays out a station root and points STATION_ROOT at it; WaitUntil polls a condition
// with a deadline instead of sleeping a fixed time.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Unshares IPC and mount namespaces (and a user namespace first when not root). Returns false
// with a message on stderr when the kernel refuses.
bool EnterTestNamespaces();
// Gives the process a network namespace of its own with the loopback interface up: a test can
// then use any port (123 included) and several loopback addresses (127.0.0.1, 127.0.0.2, ...)
// without meeting another test. Programs started afterwards share it. False with a message on
// stderr when the kernel refuses.
bool EnterNetworkNamespace();

class Sandbox {
  public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& Root() const { return root_; }
    // Absolute host path of a station path ("/tmp/x" -> root + "/tmp/x").
    std::string Path(const std::string& stationPath) const;
    void WriteFile(const std::string& stationPath, const std::string& contents) const;
    std::string ReadFile(const std::string& stationPath) const;
    bool Exists(const std::string& stationPath) const;
    // The captured system log ("$root/var/log/messages"), whole, and split in lines.
    std::string Log() const;
    std::vector<std::string> LogLines() const;
    // True when some log line ends with "<ident>[<pid>]: " + text (any pid, any priority when
    // priority is empty).
    bool LogHas(const std::string& text, const std::string& priority = "") const;

  private:
    std::string root_;
};

// A size-limited tmpfs mounted at a station path of the sandbox, inside the test's own mount
// namespace: real ENOSPC and statfs. Unmounted when it goes.
class SmallFileSystem {
  public:
    SmallFileSystem(const Sandbox& box, const std::string& stationPath, const char* size = "16k");
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;
    bool Mounted() const { return mounted_; }
    // Takes every free block (with the file "filler").
    void Fill() const;

  private:
    std::string dir_;
    bool mounted_ = false;
};

// Polls `condition` every few milliseconds until it holds or `deadline` has passed.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// The names of the entries of a folder, sorted.
std::vector<std::string> FilesIn(const std::string& dir);

// Path of a built program (build/<preset>/bin/<name>).
std::string ProgramPath(const std::string& name);
// Path of a file of the source tree.
std::string SourcePath(const std::string& relative);
