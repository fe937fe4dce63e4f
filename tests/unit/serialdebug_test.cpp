// The per-port debug trace: ring layout, readers, the two builds' messages.
#include "serialdebug.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <string>

#include "sandbox.h"
#include "stationlog.h"
#include "test_variant.h"

namespace {

std::string ReadAll(SerialDebug* reader) {
    std::string text;
    for (int c = ReadCharFromSerialDebug(reader); c >= 0; c = ReadCharFromSerialDebug(reader)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

}  // namespace

TEST(SerialDebug, WrittenTextReachesAReaderOpenedBefore) {
    Sandbox box;
    SerialDebug writer;
    ASSERT_EQ(CreateSerialDebug(&writer, 3), 0);
    SerialDebug reader;
    ASSERT_EQ(OpenSerialDebug(&reader, 3), 0);
    WriteStrToSerialDebug(&writer, "hello\n");
    EXPECT_EQ(ReadAll(&reader), "hello\n");
    EXPECT_EQ(ReadCharFromSerialDebug(&reader), -1);
    CloseSerialDebug(&reader);
    CloseSerialDebug(&writer);
}
