// alarmsender: expands the alarm template, connects to the server of "Code", writes the text
// and closes; status 8 when the whole text was written.
#include <fcntl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "alarmsender.h"
#include "argdecode.h"
#include "clock.h"
#include "logdebug.h"
#include "plcutilities.h"
#include "serialdebug.h"
#include "stationfile.h"
#include "stationlog.h"

using namespace alarmsender;

namespace {

int Failed(SerialDebug* trace, int status) {
    WriteStrToSerialDebug(trace, "error : no acknowledge\n");
    CloseSerialDebug(trace);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    StationOpenLog("alarmsender");
    if (argc - 1 < 3) {
        StationLog(LOG_ERR, "not enough of arguments");
        return kNotEnoughArguments;
    }
    IsDebug("module_alarmsender");
    SerialDebug trace;
    CreateSerialDebug(&trace, ValueArgumentDecode(argc, argv, "Port"));
    int channel = ValueArgumentDecode(argc, argv, "Voie");

    char code[kHostMax + 16] = {};
    AlarmServer server{};
    if (GetArgumentStr(argc, argv, "Code", code, sizeof code - 1) < 0 ||
        ParseAlarmCode(code, &server) != 0) {
        StationLog(LOG_ERR, "erreur dans analyse de code");
        CloseSerialDebug(&trace);
        return kNoHost;
    }
    TimeStampSerialDebug(&trace);
    PrintfSerialDebug(&trace, "sending alarm messages to a tcp server %s :%d \n", server.host,
                      server.port);

    int value = ValueArgumentDecode(argc, argv, "Valeur");
    static char templ[kTemplateMax + 1];
    if (GetArgumentStr(argc, argv, "Message", templ, kTemplateMax) < 0) {
        StationLog(LOG_ERR, "no message");
        std::strcpy(templ, kDefaultTemplate);
    }
    LogDebug("Msg %d char", static_cast<int>(std::strlen(templ)));
    time_t when = ValueArgumentDecode(argc, argv, "Date");
    if (when < 1) {
        StationLog(LOG_ERR, "no timestamp");
        when = Clock().Now().tv_sec;
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(server.port));
    if (ResolveAlarmServer(server.host, &address.sin_addr) != 0) {
        ErrorReport(&trace, "no answer of dns server\n");
        return Failed(&trace, kUnresolved);
    }
    UniqueFd connection(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection.Valid()) {
        StationLog(LOG_ERR, "erreur ouverture socket=%d", errno);
        WriteStrToSerialDebug(&trace, "internal error\n");
        return Failed(&trace, kNoSocket);
    }
    fcntl(connection.Get(), F_SETFL, fcntl(connection.Get(), F_GETFL) | O_NONBLOCK);
    FreeArgDecode();
    PlcInitMsg();
    static char text[kOutputSize];
    int length = ExpandMessage(templ, channel, value, when, text, sizeof text, -1);

    if (ConnectAlarmServer(connection.Get(), &address) != 0) {
        if (errno == ETIMEDOUT) {
            ErrorReport(&trace, "timeout (%d s ) to connect\n", kServerBoundSeconds);
        } else {
            ErrorReport(&trace, "error in connect : %s\n", std::strerror(errno));
        }
        return Failed(&trace, kNotConnected);
    }
    WriteStrToSerialDebug(&trace, "Connect : ");
    WriteStrToSerialDebug(&trace, "Ok\n");
    PrintfSerialDebug(&trace, "Snd(%d) : ", length);
    WriteStrToSerialDebugWithHex(&trace, text);
    WriteStrToSerialDebug(&trace, "\n");
    int sent = SendAlarmText(connection.Get(), text, static_cast<size_t>(length));
    if (sent != 0) {
        if (errno == ETIMEDOUT) {
            ErrorReport(&trace, "timeout (%d s ) to send\n", kServerBoundSeconds);
        } else {
            ErrorReport(&trace, "socket send error : %s\n", std::strerror(errno));
        }
    }
    connection.Close();
    if (sent != 0) {
        return Failed(&trace, kNotWritten);
    }
    WriteStrToSerialDebug(&trace, "It's Ok : Acknowledge\n");
    StationLog(LOG_DEBUG, "Acquitte");
    CloseSerialDebug(&trace);
    PlcCloseMsg();
    return kAcknowledged;
}
