// gtest main of the test binaries: each test process gets its own IPC and mount namespaces.
#include <gtest/gtest.h>

#include "sandbox.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    bool listing = false;
    for (int i = 1; i < argc; ++i) {
        listing = listing || std::string(argv[i]).rfind("--gtest_list_tests", 0) == 0;
    }
    if (!listing && !EnterTestNamespaces()) {
        return 2;
    }
    return RUN_ALL_TESTS();
}
