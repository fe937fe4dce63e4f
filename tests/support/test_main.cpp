// gtest main of the test binaries: each test process gets its own IPC and mount namespaces, and
// every test starts with that IPC namespace empty, so that a queue, shared memory or semaphore a
// test left behind never reaches the next one (the whole binary passes as one process, in any
// order).
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <fstream>
#include <sstream>
#include <string>

#include "sandbox.h"

namespace {

// The ids listed in /proc/sysvipc/<kind> (second column; the namespace's own objects only).
std::vector<int> IpcIds(const char* kind) {
    std::vector<int> ids;
    std::ifstream table(std::string("/proc/sysvipc/") + kind);
    std::string line;
    std::getline(table, line);  // header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        long key = 0;
        int id = -1;
        if (fields >> key >> id) {
            ids.push_back(id);
        }
    }
    return ids;
}

void RemoveIpcObjects() {
    for (int id : IpcIds("msg")) {
        msgctl(id, IPC_RMID, nullptr);
    }
    for (int id : IpcIds("shm")) {
        shmctl(id, IPC_RMID, nullptr);
    }
    for (int id : IpcIds("sem")) {
        semctl(id, 0, IPC_RMID);
    }
}

class EmptyIpcBetweenTests : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { RemoveIpcObjects(); }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    bool listing = false;
    for (int i = 1; i < argc; ++i) {
        listing = listing || std::string(argv[i]).rfind("--gtest_list_tests", 0) == 0;
    }
    if (!listing && !EnterTestNamespaces()) {
        return 2;
    }
    testing::UnitTest::GetInstance()->listeners().Append(new EmptyIpcBetweenTests);
    return RUN_ALL_TESTS();
}
