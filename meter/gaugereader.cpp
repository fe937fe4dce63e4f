// gaugereader: configuration, presence tests, REQ_UD2 exchanges and the delivery of decoded
// records to channels, around the M-Bus decoder.
#include "gaugereader.h"

#include <strings.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "driverconfig.h"
#include "logdebug.h"
#include "serialcomm.h"
#include "stationlog.h"
#include "xmlattrib.h"

namespace {

void Tracef(Gaugereader* g, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Tracef(Gaugereader* g, const char* format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0) {
        g->out->Trace(text,
                      n < static_cast<int>(sizeof text) ? n : static_cast<int>(sizeof text) - 1);
    }
}

void Logf(Gaugereader* g, int priority, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void Logf(Gaugereader* g, int priority, const char* format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g->out->Log(priority, text);
}

void WriteState(Gaugereader* g, int channel, int value) {
    if (channel > 0) {
        g->out->WriteChannelBool(channel, value);
    }
}

// The decoder's effects, as the reader takes them: records to the current frame's items, text to
// the trace, log lines to the log, and the wait between records on the module's clock.
class RecordSink : public MbusOutput {
  public:
    explicit RecordSink(Gaugereader* g) : g_(g) {}
    void Record(const MbusRecord& record) override { GaugeDeliverRecord(g_, record); }
    void Trace(const char* text, int length) override { g_->out->Trace(text, length); }
    void Log(int priority, const char* text) override { g_->out->Log(priority, text); }
    void RecordPause(int milliseconds) override { GaugeSleepMs(milliseconds); }

  private:
    Gaugereader* g_;
};

// Raw value / Div * Mult, held as a 32-bit signed integer (wrapping, as the board's integer
// arithmetic does, never undefined).
int32_t Scaled(int64_t raw, int div, int mult) {
    int64_t quotient = div == -1 ? static_cast<int64_t>(0 - static_cast<uint64_t>(raw)) : raw / div;
    uint64_t product = static_cast<uint64_t>(quotient) * static_cast<uint64_t>(int64_t{mult});
    return static_cast<int32_t>(static_cast<uint32_t>(product));
}

// A receive that failed (not one that timed out): logged once, and the rest of the wait is spent
// so that a line gone dead is not polled in a tight loop.
void ReceiveFailed(Gaugereader* g, long long deadline) {
    if (!g->lineFailed) {
        Logf(g, LOG_ERR, "erreur lecture port serie=%d", errno);
        g->lineFailed = true;
    }
    long long left = deadline - MonotonicMs();
    if (left > 0) {
        GaugeSleepMs(static_cast<int>(left < INT_MAX ? left : INT_MAX));
    }
}

// ---- configuration ------------------------------------------------------------------------

bool ValidBaud(int baud) {
    return baud == 300 || baud == 600 || baud == 1200 || baud == 2400 || baud == 4800 ||
           baud == 9600;
}

int IntIn(XmlAttributes attributes, const char* name, int lower, int upper, int otherwise) {
    int value = 0;
    if (XmlAttrInt(attributes, name, &value) != 0 || value < lower || value > upper) {
        return otherwise;
    }
    return value;
}

// true when the COM is this module's and its port is opened (or already open).
bool StartCom(Gaugereader* g, XmlAttributes attributes) {
    const char* type = XmlAttrFind(attributes, "Type");
    if (type == nullptr || strcasecmp(type, "gaugereader") != 0) {
        return false;
    }
    int port = 0;
    if (XmlAttrInt(attributes, "Port", &port) != 0) {
        XmlErrorRecord("Pas de port de communication parametre");
        return false;
    }
    // One port per process: the argument's, or else the first COM's.
    if (g->requestedPort != -1 && port != g->requestedPort) {
        LogDebug("Com %d != Com impose %d", port, g->requestedPort);
        return false;
    }
    if (g->port != -1) {
        // One COM per process: a second one's sensors would be read under the first one's No.
        int no = 0;
        XmlAttrInt(attributes, "No", &no);
        StationLog(LOG_WARNING, "COM No %d ignored : communication %d already selected", no,
                   g->com);
        return false;
    }
    const char* device = port >= 0 ? SerialPortName(port) : nullptr;
    if (device == nullptr) {
        XmlErrorRecord("Le port %d n'existe pas", port);
        return false;
    }
    snprintf(g->device, sizeof g->device, "%s", device);
    g->port = port;
    XmlAttrInt(attributes, "No", &g->com);
    g->nbIter = IntIn(attributes, "NbIter", 1, 30, gauge::kNbIterDefault);
    g->baud = gauge::kBaudDefault;
    XmlAttrInt(attributes, "Baud", &g->baud);
    g->silence = IntIn(attributes, "Silence", 101, 2000, gauge::kSilenceDefault);
    g->nbDef = IntIn(attributes, "NbDef", 1, 100, gauge::kNbDefDefault);
    XmlAttrInt(attributes, "Etat", &g->etat);
    g->pause = IntIn(attributes, "Pause", 100, 3600000, gauge::kPauseDefault);
    int value = 0;
    if (XmlAttrInt(attributes, "TimeOutAck", &value) != 0) {
        g->timeOutAck = gauge::kTimeOutAckDefault;
    } else {
        g->timeOutAck = value >= 100 && value <= 60000 ? value : gauge::kTimeOutAckOutOfRange;
    }
    g->intertrame = 0;
    if (XmlAttrInt(attributes, "Intertrame", &value) == 0 && value > 0) {
        g->intertrame = value;
    }
    if (!ValidBaud(g->baud)) {
        StationLog(LOG_ERR, "erreur vitesse %d", g->baud);
        CriticalAssert(false, "erreur ouverture port serie", __FILE__, __LINE__);
    }
    LogDebug("ouverture du fichier %s", g->device);
    if (GaugeOpenPort(g) != 0) {
        StationLog(LOG_ERR, "erreur d'ouverture du port serie %s : %d", g->device, errno);
        CriticalAssert(false, "erreur ouverture port serie", __FILE__, __LINE__);
    }
    LogDebug("No=%d NbIteration=%d TempsSilence=%dms TempsPause=%dms Vitesse=%d TimeOutAc=%d",
             g->com, g->nbIter, g->silence, g->pause, g->baud, g->timeOutAck);
    return true;
}

// A byte attribute of a secondary address (Version, Medium): 0 when absent or good, -1 after its
// error was recorded.
int SelectionByte(XmlAttributes attributes, const char* name, unsigned char* byte) {
    int value = 0;
    if (XmlAttrFind(attributes, name) == nullptr) {
        return 0;
    }
    if (XmlAttrInt(attributes, name, &value) != 0 || value < 0 || value > 254) {
        XmlErrorRecord("%s de l'adresse secondaire invalide (%s)", name,
                       XmlAttrFind(attributes, name));
        return -1;
    }
    *byte = static_cast<unsigned char>(value);
    return 0;
}

// The secondary address of a CAPTEUR (Secondaire, with Fabricant, Version and Medium): 1 when it
// has one, 0 when it has none, -1 after an error was recorded.
int ReadSecondary(XmlAttributes attributes, GaugeSensor* s) {
    const char* identification = XmlAttrFind(attributes, "Secondaire");
    if (identification == nullptr) {
        for (const char* name : {"Fabricant", "Version", "Medium"}) {
            if (XmlAttrFind(attributes, name) != nullptr) {
                XmlErrorRecord("%s sans adresse secondaire", name);
                return -1;
            }
        }
        return 0;
    }
    if (MbusParseIdentification(identification, &s->selection) != 0) {
        XmlErrorRecord("adresse secondaire invalide (%s)", identification);
        return -1;
    }
    const char* manufacturer = XmlAttrFind(attributes, "Fabricant");
    if (manufacturer != nullptr && MbusParseManufacturer(manufacturer, &s->selection) != 0) {
        XmlErrorRecord("fabricant de l'adresse secondaire invalide (%s)", manufacturer);
        return -1;
    }
    if (SelectionByte(attributes, "Version", &s->selection.bytes[6]) != 0 ||
        SelectionByte(attributes, "Medium", &s->selection.bytes[7]) != 0) {
        return -1;
    }
    s->secondary = true;
    s->address = mbus::kSecondaryAddress;
    return 1;
}

bool StartCapteur(Gaugereader* g, XmlAttributes attributes) {
    GaugeSensor s;
    int secondary = ReadSecondary(attributes, &s);
    if (secondary < 0) {
        return false;
    }
    int no = -1;
    XmlAttrInt(attributes, "No", &no);
    // A sensor selected by secondary address needs no primary one (its No, if any, is not used).
    if (secondary == 0 && (no < 0 || no > mbus::kAddressMax)) {
        XmlErrorRecord("numero capteur (%d) invalide", no);
        return false;
    }
    if (secondary == 0) {
        s.address = no;
    }
    s.intertrame = g->intertrame;
    XmlAttrInt(attributes, "Intertrame", &s.intertrame);
    if (s.intertrame < 0) {
        s.intertrame = 0;
    }
    s.etat = g->etat;
    XmlAttrInt(attributes, "Etat", &s.etat);
    s.nbDef = g->nbDef;
    int nbDef = 0;
    if (XmlAttrInt(attributes, "NbDef", &nbDef) == 0) {
        s.nbDef = nbDef >= 1 && nbDef <= 100 ? nbDef : gauge::kNbDefOutOfRange;
    }
    if (g->out->OpenTrace(g->port) != 0) {
        CriticalAssert(false, "erreur creation memoire partagee pour le debug", __FILE__, __LINE__);
    }
    g->sensors.insert(g->sensors.begin(), s);
    if (s.secondary) {
        char id[9];
        MbusIdentificationText(&s.selection, id);
        const unsigned char* b = s.selection.bytes;
        LogDebug("Capteur Secondaire=%s Fabricant=$%02X%02X Version=$%02X Medium=$%02X", id, b[5],
                 b[4], b[6], b[7]);
    }
    LogDebug("Capteur No %d Intertrame=%dms Etat=%d NbDef=%d", s.address, s.intertrame, s.etat,
             s.nbDef);
    return true;
}

bool StartTrame(Gaugereader* g, XmlAttributes attributes) {
    int no = 0;
    XmlAttrInt(attributes, "No", &no);
    if (no < 1 || no > 100) {
        XmlErrorRecord("numero trame invalide (%d)", no);
        return false;
    }
    const char* type = XmlAttrFind(attributes, "Type");
    if (type == nullptr) {
        XmlErrorRecord("pas de type defini dans la trame No %d", no);
        return false;
    }
    if (strcmp(type, "REQ_UD2") != 0) {
        XmlErrorRecord("pas de type valide pour trame No %d", no);
        return false;
    }
    GaugeFrame f;
    f.no = no;
    XmlAttrInt(attributes, "Etat", &f.etat);
    XmlAttrInt(attributes, "Active", &f.active);
    int suite = 0;
    XmlAttrInt(attributes, "Suite", &suite);
    f.suite = suite == 1;
    std::vector<GaugeFrame>& frames = g->sensors.front().frames;
    frames.insert(frames.begin(), f);
    LogDebug("trame No %d No Voie(Def=%d,Active=%d)", f.no, f.etat, f.active);
    if (f.suite) {
        LogDebug("trame No %d Suite : %d telegrammes au plus", f.no, gauge::kTelegramsMax);
    }
    return true;
}

void StartData(Gaugereader* g, XmlAttributes attributes) {
    const char* type = XmlAttrFind(attributes, "Type");
    if (type == nullptr) {
        XmlErrorRecord("pas de type defini de donnee");
        return;
    }
    GaugeData d;
    d.quantity = MbusQuantityIndex(type, mbus::kConfigurableQuantities);
    if (d.quantity < 0) {
        XmlStatusText("type inconnu");
        return;
    }
    XmlAttrInt(attributes, "No", &d.no);
    XmlAttrInt(attributes, "Rng", &d.storage);
    if (d.storage < 0 || d.storage > 1) {
        XmlStatusText("erreur sur le rang");
        return;
    }
    const char* function = XmlAttrFind(attributes, "Fonction");
    if (function != nullptr && strcmp(function, "Min") == 0) {
        d.function = mbus::kMin;
    } else if (function != nullptr && strcmp(function, "Max") == 0) {
        d.function = mbus::kMax;
    }
    const char* voie = XmlAttrFind(attributes, "Voie");
    if (voie != nullptr && strcmp(voie, "Ana") == 0) {
        d.kind = gauge::Kind::Ana;
    } else if (voie != nullptr && strcmp(voie, "Cpt") == 0) {
        d.kind = gauge::Kind::Cpt;
    } else if (voie != nullptr && strcmp(voie, "IEEE") == 0) {
        d.kind = gauge::Kind::Ieee;
    }
    XmlAttrDouble(attributes, "Coef", &d.coef);
    XmlAttrInt(attributes, "Div", &d.div);
    if (d.div == 0) {
        XmlStatusText("Erreur diviseur");
        return;
    }
    XmlAttrInt(attributes, "Mult", &d.mult);
    std::vector<GaugeData>& items = g->sensors.front().frames.front().data;
    items.insert(items.begin(), d);
    LogDebug(
        "Donnee No %d Type=%s Rng=%d Fonction=%d Forcage=%d Coef=%f Multiplieur=%d Diviseur=%d",
        d.no, type, d.storage, d.function, static_cast<int>(d.kind), d.coef, d.mult, d.div);
}

void DropWhenFaulty(void* data, int errors) {
    if (errors > 0) {
        static_cast<Gaugereader*>(data)->sensors.clear();
    }
}

}  // namespace

// ---- public -------------------------------------------------------------------------------

void GaugeInit(Gaugereader* g, int requestedPort, GaugeOutput* out) {
    g->requestedPort = requestedPort;
    g->out = out;
}

void GaugeStartElement(void* data, const char* name, const char** attributes) {
    Gaugereader* g = static_cast<Gaugereader*>(data);
    if (g->ignoreDepth > 0) {
        ++g->ignoreDepth;
        return;
    }
    bool entered = false;
    switch (g->nesting) {
        case 0:
            // Elements around AUTOMATE (the station's root) are looked into.
            if (strcmp(name, "AUTOMATE") == 0) {
                g->nesting = 1;
            }
            return;
        case 1:
            entered = strcmp(name, "COM") == 0 && StartCom(g, attributes);
            break;
        case 2:
            entered = strcmp(name, "CAPTEUR") == 0 && StartCapteur(g, attributes);
            break;
        case 3:
            entered = strcmp(name, "TRAME") == 0 && StartTrame(g, attributes);
            break;
        case 4:
            if (strcmp(name, "DATA") == 0) {
                StartData(g, attributes);
            }
            break;
        default:
            break;
    }
    if (entered) {
        ++g->nesting;
    } else {
        g->ignoreDepth = 1;  // this element and what it holds
    }
}

void GaugeEndElement(void* data, const char* name) {
    Gaugereader* g = static_cast<Gaugereader*>(data);
    if (g->ignoreDepth > 0) {
        --g->ignoreDepth;
        return;
    }
    static const char* const kClosing[] = {"", "AUTOMATE", "COM", "CAPTEUR", "TRAME"};
    if (g->nesting > 0 && g->nesting <= 4 && strcmp(name, kClosing[g->nesting]) == 0) {
        --g->nesting;
    }
}

int GaugeReadConfiguration(Gaugereader* g) {
    DriverConfigReader reader;
    reader.driverName = "gaugereader";
    reader.start = GaugeStartElement;
    reader.end = GaugeEndElement;
    reader.userData = g;
    reader.texts = &driverconfig::kTextsMeter;
    reader.beforeVerdict = DropWhenFaulty;
    g->nesting = 0;
    g->ignoreDepth = 0;
    return DriverConfigRead(&reader);
}

int GaugeOpenPort(Gaugereader* g) {
    if (!ValidBaud(g->baud)) {
        errno = EINVAL;
        return -1;
    }
    LineProfile profile;
    profile.device = g->device;
    profile.speed = g->baud;
    profile.parity = 'E';
    profile.dataBits = 8;
    profile.stopBits = 1;
    return LineOpen(&g->line, profile);
}

void GaugeSleepMs(int milliseconds) {
    if (milliseconds <= 0) {
        return;
    }
    timespec delay{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    timespec left{};
    while (Clock().Sleep(delay, &left) != 0 && errno == EINTR) {
        delay = left;
    }
}

int GaugeWireAddress(const GaugeSensor* s) {
    return s->secondary ? mbus::kSecondaryAddress : s->address;
}

namespace {

// Sends a request: what came since the last exchange (a late answer, noise) is no answer to it.
// As LineSend.
int SendRequest(Gaugereader* g, const unsigned char* frame, int size) {
    LineFlush(&g->line);
    int rc = LineSend(&g->line, frame, size);
    int saved = errno;
    g->out->TraceFrame("Emis", frame, size);
    GaugeSleepMs(gauge::kShortFrameWaitMs);
    errno = saved;
    return rc;
}

}  // namespace

int GaugeSendShortFrame(Gaugereader* g, const GaugeSensor* s, unsigned char control) {
    unsigned char frame[mbus::kShortFrameSize];
    MbusShortFrame(control, static_cast<unsigned char>(GaugeWireAddress(s)), frame);
    return SendRequest(g, frame, mbus::kShortFrameSize);
}

int GaugeSelect(Gaugereader* g, const GaugeSensor* s) {
    if (!s->secondary) {
        return 1;
    }
    unsigned char frame[mbus::kSelectFrameSize];
    MbusSelectFrame(&s->selection, frame);
    SendRequest(g, frame, mbus::kSelectFrameSize);
    if (GaugeWaitAck(g) == 1) {
        return 1;
    }
    char id[9];
    MbusIdentificationText(&s->selection, id);
    Tracef(g, "selection de %s non acquittee\n", id);
    return 0;
}

int GaugeRestartTelegrams(Gaugereader* g, GaugeSensor* s) {
    if (GaugeSelect(g, s) != 1) {
        return 0;
    }
    GaugeSendShortFrame(g, s, mbus::kSndNke);
    int acknowledged = GaugeWaitAck(g);
    s->fcb = true;  // the frame count starts again at 0x7B
    s->restart = acknowledged != 1;
    return acknowledged;
}

int GaugeWaitAck(Gaugereader* g) {
    unsigned char c = 0;
    long long deadline = LineDeadline(g->timeOutAck);
    int n = LineReceive(&g->line, &c, 1, deadline);
    if (n < 0) {
        ReceiveFailed(g, deadline);
        return 0;
    }
    if (n == 0) {
        return 0;
    }
    g->lineFailed = false;
    g->out->TraceFrame("Recu", &c, 1);
    if (c != mbus::kAck) {
        Tracef(g, "caractere $%02X recu au lieu de $%02X\n", c, mbus::kAck);
        return 0;
    }
    return 1;
}

int GaugeReceiveLongFrame(Gaugereader* g, int* data) {
    // The first byte within the silence, each wait for more bounded by it; the whole, by the time
    // a full buffer takes at the line's speed (11 bits a character) with a silence on each side.
    long long bytesMs = static_cast<long long>(mbus::kReceiveSize) * 11 * 1000 / g->baud;
    long long first = LineDeadline(g->silence);
    int n = LineReceiveAnswer(&g->line, g->rx, mbus::kReceiveSize, first, g->silence,
                              LineDeadline(static_cast<int>(bytesMs) + 2 * g->silence));
    if (n < 0) {
        ReceiveFailed(g, first);
        n = 0;
    }
    if (n > 0) {
        g->lineFailed = false;
        g->out->TraceFrame("Recu", g->rx, n);
    }
    RecordSink sink(g);
    return MbusCheckLongFrame(g->rx, n, &sink, data);
}

int GaugeReadData(Gaugereader* g, GaugeSensor* s, GaugeFrame* f) {
    RecordSink sink(g);
    if (f->suite && s->restart && GaugeRestartTelegrams(g, s) != 1) {
        return -1;
    }
    if (GaugeSelect(g, s) != 1) {
        return -1;
    }
    g->telegrams = 0;
    for (int attempt = 0; attempt < g->nbIter; ++attempt) {
        unsigned char control = GaugeRequestControl(s, f);
        GaugeSendShortFrame(g, s, control);
        int data = 0;
        int length = GaugeReceiveLongFrame(g, &data);
        if (length <= 0) {
            GaugeSleepMs(g->pause);
            continue;
        }
        // An answer from another address, or of another structure, is no reading of this
        // sensor: its bytes must not reach this sensor's channels.
        int address = g->rx[data - 2];
        int ci = g->rx[data - 1];
        // Read at 0xFD, a meter answers with its primary address, whatever it is; its header
        // tells whether it is the one selected (checked below).
        if (!s->secondary && address != s->address) {
            Tracef(g, "adresse $%02X recue au lieu de $%02X\n", address, s->address);
            GaugeSleepMs(g->pause);
            continue;
        }
        if (ci != 0x72) {
            Tracef(g, "CI $%02X non gere\n", ci);
            GaugeSleepMs(g->pause);
            continue;
        }
        int areaLength = length - 3;
        if (areaLength < mbus::kHeaderSize) {
            Logf(g, LOG_ERR, "Lng data(%d) < taille header", areaLength);
            GaugeSleepMs(g->pause);
            continue;
        }
        if (s->secondary && !MbusSelectionMatches(&s->selection, g->rx + data)) {
            Tracef(g, "adresse secondaire %02X%02X%02X%02X recue hors selection\n", g->rx[data + 3],
                   g->rx[data + 2], g->rx[data + 1], g->rx[data]);
            GaugeSleepMs(g->pause);
            continue;
        }
        if (!GaugeTelegramAnswered(g, s, f, control, data, length)) {
            return 0;
        }
        MbusHeader header;
        MbusDecodeHeader(g->rx + data, areaLength, &header);
        MbusTraceHeader(&header, &sink);
        g->frame = f;
        mbus::Stop stop = MbusDecodeRecords(g->rx + data, areaLength, &sink, nullptr, &g->dates);
        g->frame = nullptr;
        if (GaugeTelegramFollows(g, f, stop)) {
            attempt = -1;  // the next telegram, with NbIter attempts of its own
            continue;
        }
        s->restart = f->suite && stop == mbus::Stop::More;  // cut at the bound
        return 0;
    }
    return -1;
}

unsigned char GaugeRequestControl(const GaugeSensor* s, const GaugeFrame* f) {
    if (!f->suite || s->fcb) {
        return mbus::kReqUd2;
    }
    return static_cast<unsigned char>(mbus::kReqUd2 & ~mbus::kFcb);
}

bool GaugeTelegramAnswered(Gaugereader* g, GaugeSensor* s, const GaugeFrame* f,
                           unsigned char control, int data, int length) {
    // Answered: the meter moves on at the next toggled bit. A frame without Suite sends its
    // 0x7B all the same, so that a Suite frame of the sensor after it asks with the right bit.
    s->fcb = (control & mbus::kFcb) == 0;
    if (!f->suite) {
        return true;
    }
    const unsigned char* telegram = g->rx + data - 3;
    if (g->telegrams > 0 && length == g->lastLength &&
        memcmp(telegram, g->last, static_cast<size_t>(length)) == 0) {
        Tracef(g, "telegramme repete : fin de lecture\n");
        return false;
    }
    memcpy(g->last, telegram, static_cast<size_t>(length));
    g->lastLength = length;
    ++g->telegrams;
    return true;
}

bool GaugeTelegramFollows(Gaugereader* g, const GaugeFrame* f, mbus::Stop stop) {
    if (!f->suite || stop != mbus::Stop::More) {
        return false;
    }
    if (g->telegrams >= gauge::kTelegramsMax) {
        Tracef(g, "%d telegrammes lus : fin de lecture\n", g->telegrams);
        return false;
    }
    return true;
}

void GaugePollPass(Gaugereader* g) {
    bool exchanged = false;
    for (GaugeSensor& s : g->sensors) {
        if (!s.present) {
            exchanged = true;
            // A sensor selected by secondary address is there when it acknowledges its selection.
            int acknowledged = 0;
            bool suite = std::any_of(s.frames.begin(), s.frames.end(),
                                     [](const GaugeFrame& f) { return f.suite; });
            if (!s.secondary || suite) {
                // Only a SND_NKE starts a meter's telegrams again (see GaugeRestartTelegrams).
                acknowledged = GaugeRestartTelegrams(g, &s);
            } else {
                acknowledged = GaugeSelect(g, &s);
            }
            if (acknowledged == 1) {
                s.present = true;
                WriteState(g, s.etat, 1);
                s.failures = 0;
            } else {
                if (s.failures < INT_MAX) {
                    ++s.failures;
                }
                if (s.failures >= s.nbDef) {
                    WriteState(g, s.etat, 0);
                }
            }
            if (s.intertrame > 0) {
                Tracef(g, "Attente de %d ms\n", s.intertrame);
                GaugeSleepMs(s.intertrame);
            }
            continue;
        }
        for (GaugeFrame& f : s.frames) {
            if (f.active > 0 && g->out->ReadChannelBool(f.active) == 0) {
                Tracef(g, "Attente de voie(%d)\n", f.active);
                continue;
            }
            exchanged = true;
            if (GaugeReadData(g, &s, &f) != 0) {
                WriteState(g, f.etat, 0);
                s.present = false;
                break;
            }
            WriteState(g, f.etat, 1);
            if (s.intertrame > 0) {
                Tracef(g, "Attente de %d ms\n", s.intertrame);
                GaugeSleepMs(s.intertrame);
            }
        }
    }
    // Every frame waited for its enabling channel: the pass touched no line, and the next one
    // must not follow at once.
    if (!exchanged) {
        GaugeSleepMs(g->pause);
    }
}

const GaugeData* GaugeFindData(const GaugeFrame* f, const MbusRecord& record) {
    if (record.tariff != 0 || record.subunit != 0) {
        return nullptr;
    }
    for (const GaugeData& d : f->data) {
        if (d.quantity == record.quantity && d.function == record.function &&
            d.storage == record.storage) {
            return &d;
        }
    }
    return nullptr;
}

void GaugeDeliverRecord(Gaugereader* g, const MbusRecord& record) {
    if (g->frame == nullptr) {
        return;
    }
    const GaugeData* d = GaugeFindData(g->frame, record);
    if (d == nullptr) {
        return;
    }
    Tracef(g, "  Com(%d) Trame(%d) Donnee(%d) ", g->com, g->frame->no, d->no);
    g->out->Begin(g->com, g->frame->no);
    if (record.coding == mbus::Coding::Real) {
        g->out->WriteFloat(d->no, record.real);
        Tracef(g, "Reel=%f\n", static_cast<double>(record.real));
        g->out->Terminate();
        return;
    }
    int32_t v = Scaled(record.value, d->div, d->mult);
    bool asShort = record.bits <= 16 ? d->kind != gauge::Kind::Cpt : d->kind == gauge::Kind::Ana;
    if (d->kind == gauge::Kind::Ieee) {
        auto value = static_cast<float>(static_cast<double>(v) * record.multiplier * d->coef);
        g->out->WriteFloat(d->no, value);
        Tracef(g, "Reel=%f", static_cast<double>(value));
    } else if (asShort) {
        int value = static_cast<int>(static_cast<uint32_t>(v) & 0xFFFFu);
        g->out->WriteShort(d->no, value);
        Tracef(g, "Ana=%d", value);
    } else {
        g->out->WriteLong(d->no, v);
        Tracef(g, "Cpt=%d", v);
    }
    Tracef(g, "\n");
    g->out->Terminate();
}
