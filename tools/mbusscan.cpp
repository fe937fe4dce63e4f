// mbusscan: lists the M-Bus meters of a serial port by their secondary addresses, for the
// technician who writes the CAPTEUR Secondaire="..." of a bus where the meters share a primary
// address. "Port=N [Baud=B] [TimeOutAck=MS] [Silence=MS]". It selects with every identification
// digit a wildcard; where several meters answer together (a garbled acknowledge, several bytes,
// or a bad answer to the reading), it fixes the next digit, 0 to 9, most significant first, and
// selects again, down to single meters; each one is read at 0xFD (REQ_UD2) and printed as one
// line. gaugereader must not be polling the port meanwhile.
//
// Exit status: 0 when meters were found and the search went through without error; 1 for bad
// arguments, a line that cannot be used, a collision no digit resolves (meters of the same
// identification), a meter that acknowledges but does not answer, or no meter at all (each told
// on stderr).
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "argdecode.h"
#include "linetransport.h"
#include "mbus.h"
#include "serialcomm.h"
#include "stationlog.h"

namespace {

constexpr int kFailed = 1;

struct Scan {
    Line line;
    int baud = 2400;
    int ackMs = 0;      // wait for the first byte of an answer
    int silenceMs = 0;  // the line silent this long after a byte: the answer is over
    int found = 0;
    int errors = 0;
    bool lineDead = false;  // a send or receive failed: the search stops
    unsigned char rx[mbus::kReceiveSize] = {};
};

// The decoder's traces are not wanted here: a refused frame is a collision, told by its result.
class Quiet : public MbusOutput {
  public:
    void Record(const MbusRecord&) override {}
    void Trace(const char*, int) override {}
    void Log(int, const char*) override {}
    void RecordPause(int) override {}
    bool TraceWanted() override { return false; }
};

void LineError(Scan* scan, const char* what) {
    if (!scan->lineDead) {
        fprintf(stderr, "mbusscan: %s: %s\n", what, strerror(errno));
        ++scan->errors;
        scan->lineDead = true;
    }
}

int Send(Scan* scan, const unsigned char* bytes, int count) {
    LineFlush(&scan->line);
    if (LineSend(&scan->line, bytes, count) != 0) {
        LineError(scan, "send");
        return -1;
    }
    return 0;
}

// Bytes of an answer: the first within the acknowledge time, then more until the line has been
// silent for the silence time (or the buffer is full, or the time a full buffer takes at the
// line's speed has passed). The count, or -1 when the line failed.
int Receive(Scan* scan) {
    long long bytesMs = static_cast<long long>(mbus::kReceiveSize) * 11 * 1000 / scan->baud;
    int n = LineReceiveAnswer(
        &scan->line, scan->rx, mbus::kReceiveSize, LineDeadline(scan->ackMs), scan->silenceMs,
        LineDeadline(scan->ackMs + static_cast<int>(bytesMs) + scan->silenceMs));
    if (n < 0) {
        LineError(scan, "receive");
    }
    return n;
}

enum class Answer { None, One, Several };

// Selects with the selection; who answered.
Answer Select(Scan* scan, const MbusSelection& selection) {
    unsigned char frame[mbus::kSelectFrameSize];
    MbusSelectFrame(&selection, frame);
    if (Send(scan, frame, mbus::kSelectFrameSize) != 0) {
        return Answer::None;
    }
    int n = Receive(scan);
    if (n <= 0) {
        return Answer::None;
    }
    return n == 1 && scan->rx[0] == mbus::kAck ? Answer::One : Answer::Several;
}

// Reads the meter selected by `selection` at 0xFD and prints it: 1, or 0 when the answer was
// garbled or is another meter's (several were selected after all), -1 when none came.
int ReadSelected(Scan* scan, const MbusSelection& selection) {
    unsigned char request[mbus::kShortFrameSize];
    MbusShortFrame(mbus::kReqUd2, mbus::kSecondaryAddress, request);
    if (Send(scan, request, mbus::kShortFrameSize) != 0) {
        return -1;
    }
    int n = Receive(scan);
    if (n <= 0) {
        return -1;
    }
    Quiet quiet;
    int data = 0;
    int length = MbusCheckLongFrame(scan->rx, n, &quiet, &data);
    MbusHeader header;
    if (length <= 0 || scan->rx[data - 1] != 0x72 ||
        MbusDecodeHeader(scan->rx + data, length - 3, &header) != 0 ||
        !MbusSelectionMatches(&selection, scan->rx + data)) {
        return 0;
    }
    MbusSelection own;
    memcpy(own.bytes, scan->rx + data, mbus::kSelectionSize);
    char id[9];
    char manufacturer[8];
    MbusIdentificationText(&own, id);
    MbusManufacturerText(header.manufacturer, manufacturer, sizeof manufacturer);
    printf("Secondaire=%s Fabricant=%s Version=%u Medium=%u No=%d\n", id, manufacturer,
           header.version, header.medium, scan->rx[data - 2]);
    fflush(stdout);
    ++scan->found;
    return 1;
}

// The meters that match `selection`, whose identification digits before `digit` (most
// significant first) are fixed and the others wildcards.
void Search(Scan* scan, const MbusSelection& selection, int digit) {
    if (scan->lineDead) {
        return;
    }
    Answer answer = Select(scan, selection);
    if (answer == Answer::None) {
        return;
    }
    char id[9];
    MbusIdentificationText(&selection, id);
    if (answer == Answer::One) {
        // Meters that acknowledge at the same instant look like one: the reading tells.
        int read = ReadSelected(scan, selection);
        if (read != 0) {
            if (read < 0 && !scan->lineDead) {
                fprintf(stderr, "mbusscan: selection %s acknowledged, no answer to REQ_UD2\n", id);
                ++scan->errors;
            }
            return;
        }
    }
    if (digit >= 8) {
        fprintf(stderr, "mbusscan: several meters answer to identification %s\n", id);
        ++scan->errors;
        return;
    }
    for (int value = 0; value <= 9 && !scan->lineDead; ++value) {
        MbusSelection narrower = selection;
        unsigned char& byte = narrower.bytes[3 - digit / 2];
        byte = digit % 2 == 0 ? static_cast<unsigned char>((byte & 0x0F) | value << 4)
                              : static_cast<unsigned char>((byte & 0xF0) | value);
        Search(scan, narrower, digit + 1);
    }
}

bool ValidBaud(int baud) {
    return baud == 300 || baud == 600 || baud == 1200 || baud == 2400 || baud == 4800 ||
           baud == 9600;
}

// A number argument, `otherwise` when absent; false (told on stderr) when out of [lower, upper].
bool NumberArgument(int argc, char** argv, const char* key, int lower, int upper, int otherwise,
                    int* value) {
    char text[16];
    *value = otherwise;
    if (GetArgumentStr(argc, argv, key, text, sizeof text - 1) < 0) {
        return true;
    }
    *value = ValueArgumentDecode(argc, argv, key);
    if (*value < lower || *value > upper) {
        fprintf(stderr, "mbusscan: %s=%s out of %d..%d\n", key, text, lower, upper);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    StationOpenLog("mbusscan");
    static Scan scan;
    int port = 0;
    char text[16];
    if (GetArgumentStr(argc, argv, "Port", text, sizeof text - 1) < 0) {
        fprintf(stderr,
                "usage: mbusscan Port=N [Baud=2400] [TimeOutAck=MS] [Silence=MS]\n"
                "  lists the meters of the port's M-Bus by secondary address\n");
        return kFailed;
    }
    port = ValueArgumentDecode(argc, argv, "Port");
    const char* device = port >= 0 ? SerialPortName(port) : nullptr;
    if (device == nullptr) {
        fprintf(stderr, "mbusscan: no serial device for port %d\n", port);
        return kFailed;
    }
    if (!NumberArgument(argc, argv, "Baud", 300, 9600, 2400, &scan.baud) || !ValidBaud(scan.baud)) {
        fprintf(stderr, "mbusscan: speed %d not one of 300 600 1200 2400 4800 9600\n", scan.baud);
        return kFailed;
    }
    // A meter answers within 330 bit times and 50 ms.
    if (!NumberArgument(argc, argv, "TimeOutAck", 20, 60000, 330 * 1000 / scan.baud + 50,
                        &scan.ackMs) ||
        !NumberArgument(argc, argv, "Silence", 10, 2000, 100, &scan.silenceMs)) {
        return kFailed;
    }
    FreeArgDecode();

    LineProfile profile;
    profile.device = device;
    profile.speed = scan.baud;
    profile.parity = 'E';
    profile.dataBits = 8;
    profile.stopBits = 1;
    if (LineOpen(&scan.line, profile) != 0) {
        fprintf(stderr, "mbusscan: cannot open %s: %s\n", device, strerror(errno));
        return kFailed;
    }
    Search(&scan, MbusSelection{}, 0);
    // Leaves no meter selected behind.
    unsigned char deselect[mbus::kShortFrameSize];
    MbusShortFrame(mbus::kSndNke, mbus::kSecondaryAddress, deselect);
    if (!scan.lineDead && Send(&scan, deselect, mbus::kShortFrameSize) == 0) {
        Receive(&scan);
    }
    LineClose(&scan.line);
    if (scan.found == 0 && scan.errors == 0) {
        fprintf(stderr, "mbusscan: no meter answered on %s\n", device);
    }
    return scan.found > 0 && scan.errors == 0 ? 0 : kFailed;
}
