// The operator file is written by the station's configuration tools, outside this system: any
// bytes, any line lengths. The input becomes "/tmp/utilvelun.txt" of a private station root and
// is searched by password, by number and by login; the answers must agree with each other.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "operators.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!fuzzsupport::WriteInput(fuzzsupport::StationRoot("operators") + "/tmp/utilvelun.txt", data,
                                 size)) {
        return 0;
    }
    int number = 0;
    int rights = GetUserWithPwd("secret", &number);
    if (number == 0 || number < -1 || (number == -1 && rights != 0)) {
        std::abort();
    }
    for (int n = 2; n <= 12; ++n) {
        std::string login = GetUserVelunLogin(n);
        if (login == "Unknow" || login == "korvi") {
            continue;
        }
        // A login found by its number is found again, on a line that gives the same login
        // (number 1 is the maintenance login's, whatever the first line holds).
        int id = GetUserVelunId(login.c_str());
        if (id > 1 && login != GetUserVelunLogin(id)) {
            std::abort();
        }
        int found = GetVelunUserRights(login.c_str(), "secret");
        if (found < 0 || found > 0xFFFF) {
            std::abort();
        }
        GetUserVelunName(login.c_str());
    }
    return 0;
}
