#include "commlog.h"

#include <dirent.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "board.h"
#include "clock.h"
#include "formatcheck.h"
#include "logdebug.h"
#include "minIni.h"
#include "operators.h"
#include "stationfile.h"
#include "stationlog.h"
#include "utilities.h"

using namespace commlog;

namespace {

// ---- The pieces of the sentences -------------------------------------------------------------
//
// A sentence is the pieces of its event code, in the order of the table below. Each piece gives
// both renderings: the key the text file holds its format under, and the built-in French text.
// A piece is taken when its test holds; a piece marked Else belongs to the chain of the pieces
// before it and is looked at only when none of them was taken (if / else if / else). A piece
// of one rendering only is not there at all for the other, nor in its chains. A code that has
// no piece in a rendering gives the unknown-code sentence.

// What a piece is chosen on or given as arguments. Names as in the line: K the event code, S
// the sub-code, P0..P3 the bytes of the parameter word P from the high one, N(a, b) = a*256 + b.
enum class V : uint8_t {
    kNone,  // ends the arguments of a piece
    kK,
    kS,
    kP0,
    kP1,
    kP2,
    kP3,
    kP,     // the whole parameter word, as a signed int
    kSP0,   // N(S, P0)
    kP0P1,  // N(P0, P1): what an erasure is of
    kP1P2,  // N(P1, P2): a channel
    kP2P3,  // N(P2, P3): an error rate
    // Texts: the login of operator S or P1 (empty when there is none), the name of channel
    // N(P1, P2), the name of the channel at the Modbus address N(P0, P1).
    kLoginS,
    kLoginP1,
    kName,
    kAddressName,
    // P as local time.
    kYear,
    kMonth,
    kDay,
    kHour,
    kMinute,
    kSecond,
    kInternational,  // key "international" of section "Date" of the text file
};
using enum V;

enum class Test : uint8_t { kAlways, kIs, kIsNot, kBit, kLetter, kHas };

struct When {
    bool orElse;
    Test test;
    V on;
    int value;
};
constexpr When Always() {
    return {false, Test::kAlways, kNone, 0};
}
constexpr When Is(V on, int value) {
    return {false, Test::kIs, on, value};
}
constexpr When IsNot(V on, int value) {
    return {false, Test::kIsNot, on, value};
}
constexpr When Bit(V on, int mask) {
    return {false, Test::kBit, on, mask};
}
// A capital letter.
constexpr When Letter(V on) {
    return {false, Test::kLetter, on, 0};
}
// A login that exists (not "Unknow"), a channel that has a name.
constexpr When Has(V on) {
    return {false, Test::kHas, on, 0};
}
constexpr When Else(When when = Always()) {
    when.orElse = true;
    return when;
}

enum class Only : uint8_t { kBoth, kBuiltIn, kFile };
using enum Only;

constexpr int kArgsMax = 6;

struct Row {
    int code;
    When when;
    // The key of the piece's format in the text file; none: the file's sentence uses the text
    // below as it is, not looked up (and nothing when there is none either).
    const char* key;
    // The built-in French text; it takes the first arguments, as many as it has conversions.
    const char* text;
    V args[kArgsMax] = {};
    Only only = kBoth;
    const char* section = nullptr;  // of the key, when not the section of the code
};

// The pieces of a code that has none in the rendering; also their section of the text file.
constexpr int kUnknownCode = 256;

// clang-format off
constexpr Row kRows[] = {
    {0, Always(), "port_detection", "<-- Port %d : Detection. ", {kP2}},
    {0, Is(kS, 0), "proto_nonidentifie", "Proto. non identifie "},
    {0, Else(Is(kS, 1)), "proto_modbus_esclave_velun", "Proto Modbus Esclave Velun "},
    {0, Else(Is(kS, 2)), "proto_modbus_maitre_velun", "Proto Modbus Maitre Velun "},
    {0, Else(Is(kS, 3)), "ppp", "PPP "},
    {0, Else(Is(kS, 4)), "minitel", "Minitel "},
    {0, Is(kP3, 4), "appel_raccroche", "Appel Raccroche "},
    {0, Else(Is(kP3, 5)), "sonnerie_sans_connexion", "Sonnerie sans connexion "},
    {0, Else(IsNot(kP3, 0)), "erreur", "Erreur "},
    {0, Else(), "status_ok", "Status Ok "},

    {1, Always(), "cycle", "--> Cycle %d : ", {kS}},
    {1, IsNot(kP0, 0), "entite", "Entite %c ", {kP0}},
    {1, Always(), "genere_par_la_voie", "genere par la voie %d ", {kP1P2, kName}},
    {1, Has(kName), nullptr, "\"%s\"", {kName}, kBuiltIn},

    {2, Always(), nullptr, "--> Cycle %d : Entite %c ", {kS, kP0}, kBuiltIn},
    {2, Letter(kP0), "cycle_entite", nullptr, {kS, kP0}, kFile},
    {2, Else(), "cycle", nullptr, {kS}, kFile},
    {2, Has(kLoginP1), "appel_genere_operateur", "appel genere par l'operateur \"%s\"", {kLoginP1}},
    {2, Else(), "appel_genere_id", "appel genere par l'operateur %d", {kP1}},

    {3, Always(), "mise_a_heure", "=== Mise a l'heure "},
    {3, Is(kS, 0), "xmlrpc", "par xmlrpc: "},
    {3, Else(Is(kS, 1)), "modbus", "par modbus: "},
    {3, Else(Is(kS, 2)), "web", "par web: "},
    {3, Else(Is(kS, 3)), "minitel", "par minitel: "},
    {3, Else(Is(kS, 4)), "orxlcd", "par orxlcd: "},
    {3, Else(Is(kS, 5)), "clocksync", "par clocksync: "},
    {3, Else(Is(kS, 6)), "sms", "par sms: "},
    {3, Else(), "no", "par (%d): ", {kS}},
    {3, Always(), nullptr, "%.2d/%.2d/%4d %.2d:%.2d:%.2d",
     {kDay, kMonth, kYear, kHour, kMinute, kSecond}, kBuiltIn},
    {3, IsNot(kInternational, 0), nullptr, "%4d-%.2d-%.2d", {kYear, kMonth, kDay}, kFile},
    {3, Else(), nullptr, "%.2d/%.2d/%4d", {kDay, kMonth, kYear}, kFile},
    {3, Always(), nullptr, " %.2d:%.2d:%.2d", {kHour, kMinute, kSecond}, kFile},

    {4, IsNot(kP3, 0), "demande_acquittement", "Demande acquittement "},
    {4, Else(), "acquittement", "Acquittement "},
    {4, Is(kP0, 1), "individuel", "individuel"},
    {4, Else(Is(kP0, 2)), "parametre", "parametre"},
    {4, Else(Is(kP0, 0)), "global", "global"},
    {4, Else(), "code", "Code($%.X)", {kP0}},
    {4, Is(kP1, 255), "tous_cycles", " : Tous cycles"},
    {4, Else(), "cycle", " : Cycle %d", {kP1}},
    {4, IsNot(kP2, 255), "entite", " : Entite %c ", {kP2}},
    {4, Is(kS, 255), nullptr, nullptr},
    {4, Else(Has(kLoginS)), "operateur", " : operateur \"%s\"", {kLoginS}},
    {4, Else(), "operateur_id", " : operateur %d", {kS}},

    {5, Always(), "identification_appel_entrant",
     "Identification d'appel entrant : [info a completer]", {kS}},
    {5, IsNot(kP, 0), "numero", nullptr, {kP}, kFile},
    {5, Else(), "numero_inconnu", nullptr, {}, kFile},

    {6, Always(), "identification_touche_dtmf", "Identification touche dtmf : [info a completer]"},

    {7, Always(), "identification_connection_ip", "Identification connection ip : [%d.%d.%d.%d]",
     {kS, kP0, kP1, kP2}},

    {8, Always(), "port_communication_interrompue", "<-- Port %d : Communication interrompue",
     {kS}},
    {8, Is(kP1, 0), "1h_communication", "1h de communication "},
    {8, Else(Is(kP1, 1)), "10min_sans_lecture", "10min sans lecture"},
    {8, Else(), nullptr, "(%d)", {kP1}, kFile},

    {9, Always(), "echange_intersite", "--> Echange Intersite station %d", {kSP0}},
    {9, Is(kP1, 1), "ok_taux_erreur", " - OK - taux d'erreur %d %%", {kP2P3}},
    {9, Else(Is(kP1, 2)), "ko_taux_erreur", " - KO - taux d'erreur %d %%", {kP2P3}},
    {9, Else(Is(kP1, 3)), "ok_taux_erreur_pas_acquittement",
     " - OK - taux d'erreur %d %% (pas d'acquittement)", {kP2P3}},
    {9, Else(Is(kP1, 4)), "ko_erreur_lecture_no", nullptr, {}, kFile},
    {9, Else(Is(kP1, 5)), "ko_no_parametre", nullptr, {}, kFile},
    {9, Else(Is(kP1, 255)), "inhibe", nullptr, {}, kFile},
    {9, Else(), "pas_echange_parametrees", " - Pas d'echange parametrees'"},

    {10, IsNot(kP0, 0), "cycle", "--> Cycle %d : ", {kP0}},
    {10, Always(), "erreur_modem", "Erreur modem port %d, ", {kS}},
    {10, Is(kP1, 1), "pas_tonalite", "pas de tonalite"},
    {10, Else(Is(kP1, 2)), "ligne_occupee", "ligne occupee"},
    {10, Else(Is(kP1, 3)), "pas_porteuse", "pas de porteuse"},
    {10, Else(Is(kP1, 4)), "pas de reponse", "pas de reponse"},  // the key has blanks
    {10, Else(Is(kP1, 5)), "retarde", "retarde"},
    {10, Else(Is(kP1, 7)), "blackliste", "blackliste"},
    {10, Else(Is(kP1, 12)), nullptr, "non connecte au GPRS", {}, kBuiltIn},
    {10, Else(Is(kP1, 16)), nullptr, "dep. temps appel", {}, kBuiltIn},
    {10, Else(Is(kP1, 17)), nullptr, "reponse AT", {}, kBuiltIn},
    {10, Else(Is(kP1, 18)), nullptr, "code PIN", {}, kBuiltIn},
    {10, Else(Is(kP1, 19)), nullptr, "perte de la porteuse", {}, kBuiltIn},
    {10, Else(), nullptr, "erreur inconnue", {}, kBuiltIn},
    {10, Else(Is(kP1, 13)), "non_connecte_gsm", nullptr, {}, kFile},
    {10, Else(Is(kP1, 14)), "non_connecte_gprs", nullptr, {}, kFile},
    {10, Else(Is(kP1, 18)), "dep_temps_appel", nullptr, {}, kFile},
    {10, Else(Is(kP1, 19)), "reponse_at", nullptr, {}, kFile},
    {10, Else(Is(kP1, 20)), "code_pin", nullptr, {}, kFile},
    {10, Else(Is(kP1, 21)), "perte_porteuse", nullptr, {}, kFile},
    {10, Else(), nullptr, "(%d)", {kP1}, kFile},

    {11, IsNot(kP0, 0), "apparition", nullptr, {kS}, kFile},
    {11, Else(), "disparition", nullptr, {kS}, kFile},

    {12, IsNot(kS, 0), "demande_reload_operateur", "=== Demande de reload par l'operateur \"%s\"",
     {kLoginS}},
    {12, Else(), "demande_reload_fonction", "=== Demande de reload par le module fonction"},

    {13, Always(), "cycle", "---> Cycle %d : Fin de cycle. ", {kS}},
    {13, Is(kP1, 0), "plus_entite_a_appeler", "Plus d'entite a appeler."},
    {13, Else(Is(kP1, 1)), "acquittement_individuel_entite", "Acquittement global par l'entite %c.",
     {kP0}},
    {13, Else(Is(kP1, 2)), "acquittement_global_entite", "Acquittement global du cycle.", {kP0}},
    {13, Else(Is(kP1, 3)), "arret_cycles", "Arret de tous les cycles."},
    {13, Else(), nullptr, "(%d)", {kP1}, kFile},

    {14, Always(), "debut_cycle", "---> Cycle %d : Debut de cycle.", {kS}},

    {15, Always(), "demande_interruption_cycle",
     "---> Demande d'interruption du cycle %d par l'operateur \"%s\"", {kP0, kLoginS}},

    {16, Always(), "effacement", "=== Effacement "},
    {16, Is(kP0P1, 65535), "toute_donnees", "de toute les donnees horodatees "},
    {16, Else(Is(kP0P1, 2)), "journal_communications", "du journal des communications "},
    {16, Else(Is(kP0P1, 3)), "journal_communications", "du journal des communications "},
    {16, Else(Is(kP0P1, 1)), "journal_bord", "du journal de bord "},
    {16, Else(Has(kAddressName)), "voie_nom", "des memos de la voie \"%s\" ", {kAddressName}},
    {16, Else(), "voie_sans_nom", "des memos de la voie $%.4X ", {kP0P1}},
    {16, Always(), "par_operateur", "par l'operateur \"%s\".", {kLoginS}},

    {17, IsNot(kS, 0), "demande_operateur", "=== Demande de reset par l'operateur \"%s\"",
     {kLoginS}},
    {17, Else(), "demande_fonction", "=== Demande de reset par le module fonction"},

    // The places an operator identifies on have their keys in section "22".
    {21, Always(), "identification_operateur", "---> Identification operateur \"%s\" sur ",
     {kLoginS}},
    {21, Is(kP0, 0), "minitel", "Minitel", {}, kBoth, "22"},
    {21, Else(Is(kP0, 1)), "orxlcd", "ORXLCD", {}, kBoth, "22"},
    {21, Else(Is(kP0, 2)), "vocal", "vocal", {}, kBoth, "22"},
    {21, Else(Is(kP0, 3)), "orxweb", "ORXWEB", {}, kBoth, "22"},
    {21, Else(Is(kP0, 4)), "xmlrpc", "XMLRPC (tessaron)", {}, kBoth, "22"},
    {21, Else(Is(kP0, 5)), "sms", "SMS", {}, kBoth, "22"},
    {21, Else(), nullptr, "(%d)", {kP0}, kFile},

    {22, Always(), "identification_echouee", "---> Identification echouee sur "},
    {22, Is(kS, 0), "minitel", "Minitel"},
    {22, Else(Is(kS, 1)), "orxlcd", "ORXLCD"},
    {22, Else(Is(kS, 2)), "vocal", "vocal"},
    {22, Else(Is(kS, 3)), "orxweb", "ORXWEB"},
    {22, Else(Is(kS, 4)), "xmlrpc", "XMLRPC (tessaron)"},
    {22, Else(Is(kS, 5)), "sms", "SMS"},
    {22, Else(), nullptr, "(%d)", {kS}, kFile},

    {23, Always(), "code_pin", nullptr, {}, kFile},
    {23, IsNot(kS, 0), "ok", nullptr, {}, kFile},
    {23, Else(), "erreur", nullptr, {}, kFile},
    {23, IsNot(kS, 0), "tentative", nullptr, {kP0}, kFile},
    {23, Else(Is(kP1, 1)), "no_sim", nullptr, {}, kFile},
    {23, Else(Is(kP1, 2)), "enregistrement", nullptr, {}, kFile},
    {23, Else(), "inconnu", nullptr, {kP1}, kFile},

    {26, Always(), "route", "Route No %d ", {kS}},
    {26, Is(kP0, 1), "activee", "activee"},
    {26, Else(), "desactivee", "desactivee"},
    {26, Always(), "par_voie", " par Voie No %d", {kP1P2, kName}},
    {26, IsNot(kP3, 0), "erreur", ": erreur=%d", {kP3}},

    {27, Always(), "changement_mode", nullptr, {}, kFile},
    {27, Is(kS, 1), "active", nullptr, {}, kFile},
    {27, Else(Is(kS, 2)), "depassement_cycle", nullptr, {}, kFile},
    {27, Else(Is(kS, 0)), "arret", nullptr, {}, kFile},
    {27, Else(), nullptr, "(%d) ", {kS}, kFile},
    {27, Bit(kP0, 2), "erreur", nullptr, {}, kFile},
    {27, Bit(kP0, 4), "point_arret", nullptr, {}, kFile},
    {27, Bit(kP0, 8), "cycle_par_cycle", nullptr, {}, kFile},

    {28, Always(), "demarrage", nullptr, {}, kFile},
    {28, IsNot(kS, 0), "variables_reinitialisees", nullptr, {}, kFile},
    {28, Else(), "variables_sauvegardees", nullptr, {}, kFile},
    {28, IsNot(kP0, 0), "ko", nullptr, {}, kFile},
    {28, Else(), "ok", nullptr, {}, kFile},

    {29, Always(), "heure_station", nullptr, {kS, kP}, kFile},

    {30, Always(), "station", nullptr, {kS}, kFile},

    {128, Always(), "port_fin_appel_entrant", "<-- Port %d : Fin Appel Entrant ", {kS}},
    {128, IsNot(kP3, 0), "status_error", "Status Error"},
    {128, Else(), "status_ok", "Status Ok"},

    {129, Always(), "cycle_entite_fin_appel", "--> Cycle %d : Entite %c fin d'appel ", {kP0, kP1}},
    {129, IsNot(kS, 255), "sur_port", "sur le port %d : ", {kS}},
    {129, Is(kP2, 0), "acquite", " Acquite"},
    {129, Else(Is(kP2, 1)), "pas_de_reponse", " Pas de reponse"},
    {129, Else(Is(kP2, 2)), "erreur_module", " Erreur module (%d)", {kP3}},
    {129, Else(Is(kP2, 3)), "erreur_ppp", " Erreur PPP"},
    {129, Else(Is(kP2, 4)), "entite_non_active", " Entite non active"},
    {129, Else(Is(kP2, 5)), "erreur_configuration", " Erreur configuration"},
    {129, Else(Is(kP2, 6)), "cycle_interrompu", " Cycle interrompu"},
    {129, Else(Is(kP2, 7)), "erreur_creation_processus", " Erreur creation du processus"},
    {129, Else(Is(kP2, 8)), "entite_acquitee", " Entite Acquitee"},
    {129, Else(Is(kP2, 9)), "erreur_modem", " Erreur modem"},
    {129, Else(Is(kP2, 20)), "pas_acquittement", " pas d'acquittement"},
    {129, Else(Is(kP2, 21)), "temps_maximum_atteint", " Temps maximum atteint"},
    {129, Else(Is(kP2, 22)), "erreur_invite", " Erreur invite"},
    {129, Else(), nullptr, "(%d)", {kP2}, kFile},

    {135, Always(), "deconnexion_ip", "Deconnexion ip [%d.%d.%d.%d]", {kS, kP0, kP1, kP2}},

    {kUnknownCode, Always(), "code_inconnu",
     "Code Inconnu: Code $%.2X Data $%.2X $%.2X $%.2X $%.2X $%.2X", {kK, kS, kP0, kP1, kP2, kP3}},
};
// clang-format on

// The sentence being built: pieces go in the room left, and add nothing once it is full.
struct Sentence {
    char* buffer;
    int size;
    int length;
    CommLogTexts texts;
    ChannelInfo* info;
    int k, s, p0, p1, p2, p3;  // the fields of the line
    uint32_t p;
    char section[8];  // the code rendered, in decimal: the section of the text file
    bool dated;       // the date below is that of p
    struct tm date;
};

int Room(const Sentence& s) {
    return s.size - s.length;
}

// Takes the piece just written at the end of the sentence. A piece ends at its first zero byte
// (a %c of the byte 0), as text does: the next piece follows there.
void Appended(Sentence& s) {
    s.length += static_cast<int>(strnlen(s.buffer + s.length, static_cast<size_t>(Room(s) - 1)));
    s.buffer[s.length] = 0;
}

// A format applied to its arguments in the room left: one of ours, or one of the text file
// that was found to fit them.
void Add(Sentence& s, const char* format, const FormatArg* args, int count) {
    if (Room(s) <= 1) {
        return;
    }
    FormatChecked(s.buffer + s.length, static_cast<size_t>(Room(s)), format, args, count);
    Appended(s);
}

// A piece of the text file: the key's format applied to its arguments once it is found to fit
// them. A piece without arguments is given its own text as its one argument.
void Piece(Sentence& s, const char* section, const char* key, const FormatArg* args, int count) {
    char format[kTextMax + 1];
    std::snprintf(format, sizeof format, "%s", get_text(section, key));
    FormatArg self = TextArg(format);
    if (count == 0) {
        args = &self;
        count = 1;
    }
    const char* why = nullptr;
    if (CheckFormat(format, args, count, &why) != 0) {
        StationLog(LOG_ERR, "text of [%s] %s refused (%s) : \"%s\"", section, key, why, format);
        const FormatArg error = TextArg(kFormatError);
        Add(s, "%s", &error, 1);
        return;
    }
    Add(s, format, args, count);
}

const char* NameOf(ChannelInfo* info, int channel) {
    const char* name = GetChannelName(info, channel);
    return name != nullptr ? name : "";
}

int N(int a, int b) {
    return a * 256 + b;
}

const struct tm& Date(Sentence& s) {
    if (!s.dated) {
        const time_t t = static_cast<time_t>(s.p);
        if (localtime_r(&t, &s.date) == nullptr) {
            s.date = {};
        }
        s.dated = true;
    }
    return s.date;
}

int Number(Sentence& s, V v) {
    switch (v) {
        case kK:
            return s.k;
        case kS:
            return s.s;
        case kP0:
            return s.p0;
        case kP1:
            return s.p1;
        case kP2:
            return s.p2;
        case kP3:
            return s.p3;
        case kP:
            return static_cast<int>(s.p);
        case kSP0:
            return N(s.s, s.p0);
        case kP0P1:
            return N(s.p0, s.p1);
        case kP1P2:
            return N(s.p1, s.p2);
        case kP2P3:
            return N(s.p2, s.p3);
        case kYear:
            return Date(s).tm_year + 1900;
        case kMonth:
            return Date(s).tm_mon + 1;
        case kDay:
            return Date(s).tm_mday;
        case kHour:
            return Date(s).tm_hour;
        case kMinute:
            return Date(s).tm_min;
        case kSecond:
            return Date(s).tm_sec;
        case kInternational:
            return ini_getbool("Date", "international", 0, StationPath(kTextFile).c_str());
        default:
            return 0;
    }
}

bool IsText(V v) {
    return v == kLoginS || v == kLoginP1 || v == kName || v == kAddressName;
}

// A text argument; null when the operator or the channel has none.
const char* TextOf(Sentence& s, V v) {
    switch (v) {
        case kLoginS:
            return GetUserVelunLogin(s.s);
        case kLoginP1:
            return GetUserVelunLogin(s.p1);
        case kName:
            return GetChannelName(s.info, N(s.p1, s.p2));
        case kAddressName:
            return GetChannelName(s.info, GetModbusAddrChannel(N(s.p0, s.p1)));
        default:
            return nullptr;
    }
}

FormatArg Arg(Sentence& s, V v) {
    if (!IsText(v)) {
        return IntArg(Number(s, v));
    }
    const char* text = TextOf(s, v);
    return TextArg(text != nullptr ? text : "");
}

bool Holds(Sentence& s, const When& when) {
    switch (when.test) {
        case Test::kAlways:
            return true;
        case Test::kIs:
            return Number(s, when.on) == when.value;
        case Test::kIsNot:
            return Number(s, when.on) != when.value;
        case Test::kBit:
            return (Number(s, when.on) & when.value) != 0;
        case Test::kLetter: {
            const int c = Number(s, when.on);
            return c >= 'A' && c <= 'Z';
        }
        case Test::kHas: {
            const char* text = TextOf(s, when.on);
            const bool login = when.on == kLoginS || when.on == kLoginP1;
            return text != nullptr && text[0] != 0 && (!login || std::strcmp(text, "Unknow") != 0);
        }
    }
    return false;
}

// Conversions of a text of ours ("%%" is none).
int Conversions(const char* text) {
    int n = 0;
    for (const char* p = std::strchr(text, '%'); p != nullptr; p = std::strchr(p, '%')) {
        n += p[1] != '%';
        p += p[1] == '%' ? 2 : 1;
    }
    return n;
}

// One piece: the format of its key in the text file, or its text. Only the arguments the piece
// uses are looked up: a missing login or channel name is logged.
void Put(Sentence& s, const Row& row) {
    const bool lookedUp = s.texts == CommLogTexts::FILE && row.key != nullptr;
    if (!lookedUp && row.text == nullptr) {
        return;
    }
    int count = 0;
    while (count < kArgsMax && row.args[count] != kNone) {
        ++count;
    }
    if (!lookedUp) {
        count = std::min(count, Conversions(row.text));
    }
    FormatArg args[kArgsMax];
    for (int i = 0; i < count; ++i) {
        args[i] = Arg(s, row.args[i]);
    }
    if (lookedUp) {
        Piece(s, row.section != nullptr ? row.section : s.section, row.key, args, count);
    } else {
        Add(s, row.text, args, count);
    }
}

bool InRendering(const Row& row, CommLogTexts texts) {
    return row.only == kBoth || (row.only == kFile) == (texts == CommLogTexts::FILE);
}

void Render(Sentence& s) {
    int code = s.k;
    if (std::none_of(std::begin(kRows), std::end(kRows), [&](const Row& row) {
            return row.code == code && InRendering(row, s.texts);
        })) {
        code = kUnknownCode;
    }
    std::snprintf(s.section, sizeof s.section, "%d", code);
    bool taken = false;  // a piece of the chain so far
    for (const Row& row : kRows) {
        if (row.code != code || !InRendering(row, s.texts)) {
            continue;
        }
        if (!row.when.orElse) {
            taken = false;
        } else if (taken) {
            continue;
        }
        if (Holds(s, row.when)) {
            taken = true;
            Put(s, row);
        }
    }
}

ChannelInfo g_info;
bool g_infoOpen = false;

bool ChannelInformation() {
    if (!g_infoOpen) {
        g_infoOpen = ChannelInfoOpen(&g_info) == 0;
    }
    return g_infoOpen;
}

// A file of another language: not a directory, named like "commlog_msg*.ini", not the French.
bool OtherLanguage(const char* name) {
    if (std::strstr(name, ".ini") == nullptr || std::strstr(name, "commlog_msg") == nullptr ||
        std::strcmp(name, kFrenchName) == 0) {
        return false;
    }
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%s/%s", kTextDirectory, name) >=
        static_cast<int>(sizeof path)) {
        return false;
    }
    struct stat info {};
    return StationStat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

}  // namespace

namespace {

// The formats of the text file, kept after their first look-up: the INI library reads the file
// from its start for each look-up, and a communication line takes three or four of them (25 us
// a line where remoteexport's other lines take 1). The file's identity, size and time are checked
// once per sentence (one stat), or at each look-up outside a sentence; any change empties the
// table. Fixed slots: nothing is allocated.
struct CachedText {
    bool used;
    int length;  // what the INI library gave
    char section[8];
    char key[40];
    char text[kTextMax + 1];
};
constexpr int kCacheSlots = 512;  // our file has about 250 keys; a quarter stays free
struct TextCache {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    bool valid;
    int sentence;  // while a sentence is built: 1 the file was checked, -1 it cannot be cached
    int count;
    CachedText slots[kCacheSlots];
};
TextCache g_cache;

// The slot of (section, key): the one that holds it, or the free one where it goes.
CachedText* Slot(const char* section, const char* key) {
    uint32_t hash = 2166136261u;
    for (const char* p : {section, "\n", key}) {
        for (; *p != 0; ++p) {
            hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
        }
    }
    for (int i = 0; i < kCacheSlots; ++i) {
        CachedText* slot = &g_cache.slots[(hash + static_cast<uint32_t>(i)) % kCacheSlots];
        if (!slot->used ||
            (std::strcmp(slot->section, section) == 0 && std::strcmp(slot->key, key) == 0)) {
            return slot;
        }
    }
    return nullptr;
}

// Whether the file can be cached, the table emptied when the file is not the one it holds.
bool TextFileChecked() {
    struct stat info {};
    if (StationStat(kTextFile, &info) != 0) {
        return false;
    }
    if (!g_cache.valid || g_cache.device != info.st_dev || g_cache.inode != info.st_ino ||
        g_cache.size != info.st_size || g_cache.modified.tv_sec != info.st_mtim.tv_sec ||
        g_cache.modified.tv_nsec != info.st_mtim.tv_nsec) {
        for (CachedText& slot : g_cache.slots) {
            slot.used = false;
        }
        g_cache.count = 0;
        g_cache.device = info.st_dev;
        g_cache.inode = info.st_ino;
        g_cache.size = info.st_size;
        g_cache.modified = info.st_mtim;
        g_cache.valid = true;
    }
    return true;
}

// The cached slot for this look-up, null when the file or the names cannot be cached.
CachedText* CacheFor(const char* section, const char* key) {
    if (std::strlen(section) >= sizeof CachedText::section ||
        std::strlen(key) >= sizeof CachedText::key) {
        return nullptr;
    }
    const bool checked = g_cache.sentence != 0 ? g_cache.sentence > 0 : TextFileChecked();
    if (!checked) {
        return nullptr;
    }
    CachedText* slot = Slot(section, key);
    if (slot != nullptr && !slot->used && g_cache.count >= kCacheSlots * 3 / 4) {
        return nullptr;
    }
    return slot;
}

}  // namespace

int BuildCommSentence(CommLogTexts texts, ChannelInfo* info, uint16_t word, uint32_t parameter,
                      char* buffer, int size) {
    if (size <= 0) {
        return 0;
    }
    buffer[0] = 0;
    Sentence s{};
    s.buffer = buffer;
    s.size = size;
    s.texts = texts;
    s.info = info;
    s.k = word >> 8;
    s.s = word & 0xFF;
    s.p0 = static_cast<int>(parameter >> 24);
    s.p1 = static_cast<int>((parameter >> 16) & 0xFF);
    s.p2 = static_cast<int>((parameter >> 8) & 0xFF);
    s.p3 = static_cast<int>(parameter & 0xFF);
    s.p = parameter;
    if (texts == CommLogTexts::FILE) {
        g_cache.sentence = TextFileChecked() ? 1 : -1;
    }
    Render(s);
    g_cache.sentence = 0;
    return s.length;
}

int display_comm(uint16_t word, uint32_t parameter, char* buffer, int size) {
    if (size <= 0) {
        return 0;
    }
    if (!ChannelInformation()) {
        return std::snprintf(buffer, static_cast<size_t>(size), "%s", kInternalError) < size
                   ? static_cast<int>(std::strlen(buffer))
                   : size - 1;
    }
    const CommLogTexts texts = ThisProgram().commlog;
    if (texts == CommLogTexts::FILE && initialise_texts() == 0) {
        std::snprintf(buffer, static_cast<size_t>(size), "%s", kNoTextFile);
        return static_cast<int>(std::strlen(buffer));
    }
    return BuildCommSentence(texts, &g_info, word, parameter, buffer, size);
}

int initialise_texts() {
    static int ready = -1;
    if (ready >= 0) {
        return ready;
    }
    struct stat info {};
    if (StationStat(kTextFile, &info) == 0) {
        ready = 1;
        return ready;
    }
    FileCpy(kFrenchFile, kTextFile);
    DIR* directory = StationOpendir(kTextDirectory);
    if (directory == nullptr) {
        StationLog(LOG_ERR, "error when opening the directory : %s", kTextDirectory);
        ready = 0;
        return ready;
    }
    while (const dirent* entry = readdir(directory)) {
        if (OtherLanguage(entry->d_name)) {
            char path[PATH_MAX];
            std::snprintf(path, sizeof path, "%s/%s", kTextDirectory, entry->d_name);
            FileCpy(path, kTextFile);
            break;
        }
    }
    closedir(directory);
    ready = 1;
    return ready;
}

const char* get_text(const char* section, const char* key) {
    static char text[kTextMax + 1];
    const long long start = MonotonicMs();
    CachedText* cached = CacheFor(section, key);
    int n;
    if (cached != nullptr && cached->used) {
        std::memcpy(text, cached->text, sizeof text);
        n = cached->length;
    } else {
        n = ini_gets(section, key, kNotFound, text, sizeof text, StationPath(kTextFile).c_str());
        if (cached != nullptr) {
            cached->used = true;
            cached->length = n;
            std::snprintf(cached->section, sizeof cached->section, "%s", section);
            std::snprintf(cached->key, sizeof cached->key, "%s", key);
            std::memcpy(cached->text, text, sizeof text);
            ++g_cache.count;
        }
    }
    if (n <= 0 || std::strcmp(text, kNotFound) == 0) {
        StationLog(LOG_ERR, "no text found for %s,%s", section, key);
    }
    LogDebug("search of [%s] in %s =%s in %ld ms", key, section, text,
             static_cast<long>(MonotonicMs() - start));
    return text;
}

const char* lit_nom_voie(int channel) {
    if (!ChannelInformation()) {
        return "";
    }
    return NameOf(&g_info, channel);
}
