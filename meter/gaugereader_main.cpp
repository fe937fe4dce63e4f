// gaugereader: polls the M-Bus sensors of one serial port ([Port=<n>]) until it is killed.
#include <syslog.h>
#include <unistd.h>

#include <cstdio>

#include "argdecode.h"
#include "channeldb.h"
#include "gaugereader.h"
#include "logdebug.h"
#include "pidfile.h"
#include "plcutilities.h"
#include "serialdebug.h"
#include "stationcore.h"
#include "stationlog.h"

namespace {

// The reader's effects as this module delivers them: frame messages and single writes to
// chanmgr, channel reads from its memories, the port's debug trace, the system log.
class ModuleOutput : public GaugeOutput {
  public:
    void Begin(int com, int frame) override { PlcBeginSend(com, frame); }
    void WriteShort(int index, int value) override { PlcWriteMsgShort(index, value); }
    void WriteLong(int index, int32_t value) override { PlcWriteMsgLong(index, value); }
    void WriteFloat(int index, float value) override { PlcWriteMsgFloat(index, value); }
    void Terminate() override { PlcTerminateSend(); }
    void WriteChannelBool(int channel, int value) override { PlcWriteBool(channel, value); }
    int ReadChannelBool(int channel) override { return PlcReadBool(channel); }
    void Trace(const char* text, int length) override {
        WriteBytesToSerialDebug(&trace_, text, length);
    }
    void TraceFrame(const char* label, const unsigned char* bytes, int count) override {
        FramePrintf(&trace_, label, bytes, count);
    }
    void Log(int priority, const char* text) override {
        if (priority == LOG_DEBUG) {
            LogDebug("%s", text);
        } else {
            StationLog(priority, "%s", text);
        }
    }
    int OpenTrace(int port) override {
        if (traceOpen_) {
            return 0;
        }
        traceOpen_ = CreateSerialDebug(&trace_, port) == 0;
        return traceOpen_ ? 0 : -1;
    }

  private:
    SerialDebug trace_;
    bool traceOpen_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    StationOpenLog("gaugereader", LOG_PID, LOG_USER);
    IsDebug("gaugereader");
    int port = ValueArgumentDecode(argc, argv, "Port");
    // The channel memories exist once chanmgr runs: its pid file comes first.
    while (WaitPidFile(kChanmgrName) < 0) {
    }
    PlcInitMsg();

    static ModuleOutput output;
    static Gaugereader g;
    GaugeInit(&g, port, &output);
    GaugeReadConfiguration(&g);
    for (;;) {
        if (g.sensors.empty()) {
            LogDebug("pas de protocole Gaugereader parametre : mise en sommeil");
            pause();
            LogDebug("reveil");
            continue;
        }
        GaugePollPass(&g);
    }
}
