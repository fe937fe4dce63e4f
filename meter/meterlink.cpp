// meterlink: configuration, serial line, scan loop and reception supervision around the Teleinfo
// decoder.
#include "meterlink.h"

#include <expat.h>
#include <fcntl.h>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "driverconfig.h"
#include "linetransport.h"
#include "logdebug.h"
#include "plcutilities.h"
#include "serialcomm.h"
#include "stationlog.h"
#include "xmlattrib.h"

volatile sig_atomic_t g_meterlinkStop = 0;

namespace {

volatile sig_atomic_t g_signal = 0;

void OnSignal(int signal) {
    g_signal = signal;
    g_meterlinkStop = 1;
}

// Milliseconds of a Timeout attribute as whole seconds: rounded up, at least 2; 0 when not > 0.
int TimeoutSeconds(int milliseconds) {
    if (milliseconds <= 0) {
        return 0;
    }
    int seconds = milliseconds / 1000 + (milliseconds % 1000 != 0 ? 1 : 0);
    return seconds < 2 ? 2 : seconds;
}

// ---- configuration ------------------------------------------------------------------------

struct ConfigReader {
    Meterlink* m;
    int nesting = 0;   // 0 outside, 1 AUTOMATE, 2 accepted COM, 3 TRAME
    int comAdded = 0;  // definitions added since the accepted COM began
};

void StartCom(ConfigReader* r, XmlAttributes attributes) {
    Meterlink* m = r->m;
    const char* type = XmlAttrFind(attributes, "Type");
    if (type == nullptr || strcasecmp(type, "meterlink") != 0) {
        return;
    }
    int port = 0;
    if (XmlAttrInt(attributes, "Port", &port) != 0) {
        XmlErrorRecord("Pas de port de communication parametre");
        return;
    }
    if (port != m->port) {
        LogDebug("Port lu=%d != Port demande=%d", port, m->port);
        return;
    }
    int no = 0;
    if (XmlAttrInt(attributes, "No", &no) != 0) {
        XmlErrorRecord("Pas d'idenfication de voie parametree");
        return;
    }
    // Port -1 names the Ethernet link: no serial line behind it.
    const char* device = port >= 0 ? SerialPortName(port) : nullptr;
    if (device == nullptr) {
        XmlErrorRecord("Le port %d n'existe pas", port);
        return;
    }
    m->noVoieCom = no;
    snprintf(m->device, sizeof m->device, "%s", device);
    int value = 0;
    if (XmlAttrInt(attributes, "Timeout", &value) == 0 && value > 0) {
        m->timeout = TimeoutSeconds(value);
    }
    if (XmlAttrInt(attributes, "Silence", &value) == 0 && value >= 11 && value <= 999) {
        m->silence = value;
    }
    if (XmlAttrInt(attributes, "Etat", &value) == 0 && value >= 1 && value <= 32766) {
        m->etat = value;
    }
    if (m->etat > 0) {
        PlcWriteBool(m->etat, 0);
    }
    LogDebug("Port=%s Silence=%d Etat=%d Timeout=%d s VoieCom=%d", m->device, m->silence, m->etat,
             m->timeout, m->noVoieCom);
    r->nesting = 2;
    r->comAdded = 0;
}

void StartTrame(ConfigReader* r, XmlAttributes attributes) {
    Meterlink* m = r->m;
    TeleinfoDefinition def;
    int no = 0;
    XmlAttrInt(attributes, "No", &no);
    if (no < 1 || no > 32767) {
        XmlErrorRecord("numero trame invalide (%d)", no);
        return;
    }
    def.frame = no;
    const char* label = XmlAttrFind(attributes, "Etiquette");
    if (label == nullptr) {
        XmlErrorRecord("pas d' Etiquette definie dans la trame No %d", no);
        return;
    }
    if (strlen(label) >= sizeof def.label) {
        XmlErrorRecord("lng Etiquette errone dans trame No %d", no);
        return;
    }
    if (TeleinfoDefinitionInit(&def, label) == 0) {
        LogDebug("etiquette %s gere par defaut", def.label);
    }
    const char* type = XmlAttrFind(attributes, "TypeDonnee");
    if (type != nullptr) {
        if (strcmp(type, "ANA") == 0) {
            def.kind = KIND_ANALOGUE;
            LogDebug("Forcage ana pour trame No %d", no);
        } else if (strcmp(type, "CPT") == 0) {
            def.kind = KIND_COUNTER;
            LogDebug("Forcage compteur pour trame No %d", no);
        } else if (strcmp(type, "CHR") == 0) {
            def.kind = KIND_CHRONO;
            LogDebug("Forcage chrono pour trame No %d", no);
        } else if (strcmp(type, "TOR") == 0) {
            def.kind = KIND_DIGITAL;
            LogDebug("Forcage tor pour trame No %d", no);
        }
    }
    if (def.kind == KIND_DIGITAL && def.fields != FIELDS_PPOT) {
        const char* val = XmlAttrFind(attributes, "Val");
        if (val == nullptr || strlen(val) >= sizeof def.val) {
            XmlErrorRecord("pas de valeur pour l'etiquette %s (trame No %d)", def.label, no);
            return;
        }
        snprintf(def.val, sizeof def.val, "%s", val);
        int evt = 0;
        if (XmlAttrInt(attributes, "Evt", &evt) == 0 && evt == 1) {
            def.evt = 1;
        }
    }
    const char* appli = XmlAttrFind(attributes, "Appli");
    if (appli != nullptr && strcmp(appli, "CONTRAT") == 0) {
        def.injection = 0;
    } else if (appli != nullptr && strcmp(appli, "INJECTION") == 0) {
        def.normal = 0;
    }
    int value = 0;
    if (XmlAttrInt(attributes, "TrameOk", &value) == 0) {
        if (value >= 1 && value <= 32767) {
            def.trameOk = value;
            PlcWriteBool(def.trameOk, 1);
        } else {
            StationLog(LOG_ERR, "TrameOk %d hors limites dans trame No %d : ignore", value, no);
        }
    }
    if (XmlAttrInt(attributes, "Timeout", &value) == 0) {
        def.timeout = TimeoutSeconds(value);
    }
    def.lastReception = GetUptime();
    m->definitions.insert(m->definitions.begin(), def);
    ++r->comAdded;
    LogDebug(
        "ajout nouvelle trame No %d Etiquette=%s Evt=%d TrameOk=%d Timeout=%d injection=%d "
        "contrat=%d",
        def.frame, def.label, def.evt, def.trameOk, def.timeout, def.injection, def.normal);
}

void EndCom(ConfigReader* r) {
    // The COM's definitions are the first comAdded of the list (each went to the front).
    for (int i = 0; i < r->comAdded; ++i) {
        const TeleinfoDefinition& def = r->m->definitions[static_cast<size_t>(i)];
        if (def.timeout > 0) {
            LogDebug("ajout surveillance %s No %d", def.label, def.frame);
        }
    }
}

void XMLCALL StartElement(void* data, const XML_Char* name, const XML_Char** attributes) {
    ConfigReader* r = static_cast<ConfigReader*>(data);
    switch (r->nesting) {
        case 0:
            if (strcmp(name, "AUTOMATE") == 0) {
                r->nesting = 1;
            }
            break;
        case 1:
            if (strcmp(name, "COM") == 0) {
                StartCom(r, attributes);
            }
            break;
        case 2:
            if (strcmp(name, "TRAME") == 0) {
                r->nesting = 3;
                StartTrame(r, attributes);
            }
            break;
        default:
            break;
    }
}

void XMLCALL EndElement(void* data, const XML_Char* name) {
    ConfigReader* r = static_cast<ConfigReader*>(data);
    if (r->nesting == 3 && strcmp(name, "TRAME") == 0) {
        r->nesting = 2;
    } else if (r->nesting == 2 && strcmp(name, "COM") == 0) {
        EndCom(r);
        r->nesting = 1;
    } else if (r->nesting == 1 && strcmp(name, "AUTOMATE") == 0) {
        r->nesting = 0;
    }
}

}  // namespace

// ---- public -------------------------------------------------------------------------------

void MeterlinkOutput::Begin(int com, int frame) {
    PlcBeginSend(com, frame);
}
void MeterlinkOutput::WriteBool(int index, bool value) {
    PlcWriteMsgBool(index, value ? 1 : 0);
}
void MeterlinkOutput::WriteLong(int index, int32_t value) {
    PlcWriteMsgLong(index, value);
}
void MeterlinkOutput::WriteFloat(int index, float value) {
    PlcWriteMsgFloat(index, value);
}
void MeterlinkOutput::Terminate() {
    PlcTerminateSend();
}
void MeterlinkOutput::WriteChannelBool(int channel, bool value) {
    PlcWriteBool(channel, value ? 1 : 0);
}
void MeterlinkOutput::Trace(const char* text, int length) {
    WriteBytesToSerialDebug(trace_, text, length);
}
void MeterlinkOutput::TraceTimestamp() {
    TimeStampSerialDebug(trace_);
}
void MeterlinkOutput::Log(int priority, const char* text) {
    if (priority == LOG_DEBUG) {
        LogDebug("%s", text);
    } else {
        StationLog(priority, "%s", text);
    }
}
bool MeterlinkOutput::Verbose() const {
    return DebugLevel() != 0;
}

int MeterlinkInstallSignal() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a stop request cuts the wait for a character short.
    action.sa_flags = 0;
    return sigaction(SIGINT, &action, nullptr);
}

void MeterlinkInit(Meterlink* m, int port) {
    m->port = port;
    const char* device = port >= 0 ? SerialPortName(port) : nullptr;
    snprintf(m->device, sizeof m->device, "%s", device != nullptr ? device : "");
}

int MeterlinkReadConfiguration(Meterlink* m) {
    ConfigReader config{m};
    DriverConfigReader reader;
    reader.driverName = "meterlink";
    reader.start = StartElement;
    reader.end = EndElement;
    reader.userData = &config;
    reader.texts = &driverconfig::kTextsMeter;
    // A status file that could not be written is logged by the status functions; it is no fault
    // of the configuration, and the meter is read all the same.
    return DriverConfigRead(&reader) == 0 ? 0 : -1;
}

void MeterlinkLogConfiguration(const Meterlink* m) {
    LogDebug("NoVoieCom: %d \n", m->noVoieCom);
    LogDebug("Com: %d TimeOut %d\n", m->port, m->timeout);
    LogDebug("Silence: %d Etat %d\n", m->silence, m->etat);
    LogDebug("Port %s\n", m->device);
    for (const TeleinfoDefinition& def : m->definitions) {
        LogDebug("Etiquette: %s \n", def.label);
        LogDebug("Val: %s \n", def.val);
        LogDebug("NoTrame: %d \n", def.frame);
        LogDebug("TrameOK: %d \n", def.trameOk);
        LogDebug("Evt: %d \n", def.evt);
    }
}

int MeterlinkOpenPort(Meterlink* m) {
    LineProfile profile;
    profile.device = m->device;
    profile.speed = 1200;
    profile.parity = 'E';
    profile.dataBits = 7;
    profile.stopBits = 1;
    profile.gatherMs = meterlink::kGatherMs;
    return LineOpen(&m->line, profile);
}

void MeterlinkStart(Meterlink* m) {
    m->decoder.com = m->noVoieCom;
    m->decoder.etat = m->etat;
    m->decoder.timeout = m->timeout;
    m->decoder.definitions = m->definitions.data();
    m->decoder.definitionCount = static_cast<int>(m->definitions.size());
    m->decoder.out = &m->output;
    TeleinfoStartSupervision(&m->decoder, GetUptime());
}

int MeterlinkScanFrame(Meterlink* m) {
    TeleinfoDecoder* d = &m->decoder;
    TeleinfoBeginScan(d);
    long lastCheck = -1;
    while (d->state != teleinfo::kStopped && !g_meterlinkStop) {
        // 1: characters to decode; 0: nothing within the silence (or a signal cut the wait);
        // -1: the line failed.
        int got = 1;
        if (m->inputNext >= m->inputLength) {
            LineSetGather(&m->line, meterlink::kGatherMs + (TeleinfoCharsBeforeGroupEnd(d) - 1) *
                                                               meterlink::kCharUs / 1000);
            int n = LineReceive(&m->line, m->input, sizeof m->input, LineDeadline(m->silence));
            if (n > 0) {
                m->inputLength = n;
                m->inputNext = 0;
            } else if (n == 0 || errno == EINTR) {
                got = 0;
            } else {
                StationLog(LOG_ERR, "erreur lecture port serie=%d", errno);
                got = -1;
            }
        }
        long now = GetUptime();
        while (m->inputNext < m->inputLength && d->state != teleinfo::kStopped) {
            TeleinfoReceiveChar(d, m->input[m->inputNext++]);
        }
        // Time-outs are looked at on every empty or failed wait, and also once a second while
        // characters keep coming: a meter that sends continuously never leaves the line silent
        // for a whole wait, and a label it stopped sending must still time out.
        if (got != 1 || now != lastCheck) {
            TeleinfoCheckTimeouts(d, now);
            lastCheck = now;
        }
        if (got == 0) {
            LogDebug("pb lecture port serie (Etat %d)", d->state);
        }
        TeleinfoCheckReception(d, now);
        if (got < 0) {
            return -1;
        }
    }
    if (g_meterlinkStop && g_signal != 0) {
        LogDebug("signal recu=%d", static_cast<int>(g_signal));
        g_signal = 0;
    }
    return 0;
}

void MeterlinkPauseAfterError(Meterlink* m) {
    (void)m;
    for (int i = 0; i < 10 && !g_meterlinkStop; ++i) {
        timespec delay{0, 100000000L};
        Clock().Sleep(delay, nullptr);
    }
}

void MeterlinkClose(Meterlink* m) {
    LineClose(&m->line);
    m->definitions.clear();
    m->decoder.definitions = nullptr;
    m->decoder.definitionCount = 0;
    CloseSerialDebug(&m->trace);
}
