#include "commlog.h"

#include <dirent.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cstdarg>
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

// The sentence being built: pieces go in the room left, and add nothing once it is full.
struct Sentence {
    char* buffer;
    int size;
    int length;
    CommLogTexts texts;
    ChannelInfo* info;
    char section[8];  // event code in decimal: the section of the text file
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

__attribute__((format(printf, 2, 3))) void Add(Sentence& s, const char* format, ...) {
    if (Room(s) <= 1) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vsnprintf(s.buffer + s.length, static_cast<size_t>(Room(s)), format, args);
    va_end(args);
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
        Add(s, "%s", kFormatError);
        return;
    }
    if (Room(s) > 1) {
        FormatChecked(s.buffer + s.length, static_cast<size_t>(Room(s)), format, args, count);
        Appended(s);
    }
}

void Key(Sentence& s, const char* key) {
    Piece(s, s.section, key, nullptr, 0);
}
void Key(Sentence& s, const char* key, FormatArg a) {
    Piece(s, s.section, key, &a, 1);
}
void Key(Sentence& s, const char* key, FormatArg a, FormatArg b) {
    const FormatArg args[] = {a, b};
    Piece(s, s.section, key, args, 2);
}
void Key(Sentence& s, const char* key, FormatArg a, FormatArg b, FormatArg c, FormatArg d) {
    const FormatArg args[] = {a, b, c, d};
    Piece(s, s.section, key, args, 4);
}

FormatArg Int(int value) {
    return IntArg(value);
}
FormatArg Char(int value) {
    return IntArg(value);
}
FormatArg Text(const char* text) {
    return TextArg(text);
}

// The login of operator number x as the operator file gives it ("Unknow" when there is none),
// and whether there is one.
const char* LoginText(int number) {
    const char* login = GetUserVelunLogin(number);
    return login != nullptr ? login : "";
}
bool HasLogin(int number) {
    const char* login = GetUserVelunLogin(number);
    return login != nullptr && login[0] != 0 && std::strcmp(login, "Unknow") != 0;
}

const char* NameOf(ChannelInfo* info, int channel) {
    const char* name = GetChannelName(info, channel);
    return name != nullptr ? name : "";
}

struct Fields {
    int k, s, p0, p1, p2, p3;
    uint32_t p;
};

int N(int a, int b) {
    return a * 256 + b;
}

void LocalDate(uint32_t seconds, struct tm& date) {
    const time_t t = static_cast<time_t>(seconds);
    if (localtime_r(&t, &date) == nullptr) {
        date = {};
    }
}

// ---- The built-in French sentences -----------------------------------------------------------

void BuiltIn(Sentence& s, const Fields& f) {
    switch (f.k) {
        case 0: {
            Add(s, "<-- Port %d : Detection. ", f.p2);
            static const char* const kProto[] = {"Proto. non identifie ",
                                                 "Proto Modbus Esclave Velun ",
                                                 "Proto Modbus Maitre Velun ", "PPP ", "Minitel "};
            if (f.s <= 4) {
                Add(s, "%s", kProto[f.s]);
            }
            if (f.p3 == 4) {
                Add(s, "Appel Raccroche ");
            } else if (f.p3 == 5) {
                Add(s, "Sonnerie sans connexion ");
            } else if (f.p3 != 0) {
                Add(s, "Erreur ");
            } else {
                Add(s, "Status Ok ");
            }
            break;
        }
        case 1: {
            Add(s, "--> Cycle %d : ", f.s);
            if (f.p0 != 0) {
                Add(s, "Entite %c ", f.p0);
            }
            const int channel = N(f.p1, f.p2);
            Add(s, "genere par la voie %d ", channel);
            const char* name = GetChannelName(s.info, channel);
            if (name != nullptr && name[0] != 0) {
                Add(s, "\"%s\"", name);
            }
            break;
        }
        case 2:
            Add(s, "--> Cycle %d : Entite %c ", f.s, f.p0);
            if (HasLogin(f.p1)) {
                Add(s, "appel genere par l'operateur \"%s\"", LoginText(f.p1));
            } else {
                Add(s, "appel genere par l'operateur %d", f.p1);
            }
            break;
        case 3: {
            Add(s, "=== Mise a l'heure ");
            static const char* const kBy[] = {
                "par xmlrpc: ", "par modbus: ",    "par web: ", "par minitel: ",
                "par orxlcd: ", "par clocksync: ", "par sms: "};
            if (f.s <= 6) {
                Add(s, "%s", kBy[f.s]);
            } else {
                Add(s, "par (%d): ", f.s);
            }
            struct tm date;
            LocalDate(f.p, date);
            Add(s, "%.2d/%.2d/%4d %.2d:%.2d:%.2d", date.tm_mday, date.tm_mon + 1,
                date.tm_year + 1900, date.tm_hour, date.tm_min, date.tm_sec);
            break;
        }
        case 4:
            Add(s, "%s", f.p3 != 0 ? "Demande acquittement " : "Acquittement ");
            if (f.p0 == 1) {
                Add(s, "individuel");
            } else if (f.p0 == 2) {
                Add(s, "parametre");
            } else if (f.p0 == 0) {
                Add(s, "global");
            } else {
                Add(s, "Code($%.X)", f.p0);
            }
            if (f.p1 == 255) {
                Add(s, " : Tous cycles");
            } else {
                Add(s, " : Cycle %d", f.p1);
            }
            if (f.p2 != 255) {
                Add(s, " : Entite %c ", f.p2);
            }
            if (f.s != 255) {
                if (HasLogin(f.s)) {
                    Add(s, " : operateur \"%s\"", LoginText(f.s));
                } else {
                    Add(s, " : operateur %d", f.s);
                }
            }
            break;
        case 5:
            Add(s, "Identification d'appel entrant : [info a completer]");
            break;
        case 6:
            Add(s, "Identification touche dtmf : [info a completer]");
            break;
        case 7:
            Add(s, "Identification connection ip : [%d.%d.%d.%d]", f.s, f.p0, f.p1, f.p2);
            break;
        case 8:
            Add(s, "<-- Port %d : Communication interrompue", f.s);
            if (f.p1 == 0) {
                Add(s, "1h de communication ");
            } else if (f.p1 == 1) {
                Add(s, "10min sans lecture");
            }
            break;
        case 9: {
            Add(s, "--> Echange Intersite station %d", N(f.s, f.p0));
            const int rate = N(f.p2, f.p3);
            if (f.p1 == 1) {
                Add(s, " - OK - taux d'erreur %d %%", rate);
            } else if (f.p1 == 2) {
                Add(s, " - KO - taux d'erreur %d %%", rate);
            } else if (f.p1 == 3) {
                Add(s, " - OK - taux d'erreur %d %% (pas d'acquittement)", rate);
            } else {
                Add(s, " - Pas d'echange parametrees'");
            }
            break;
        }
        case 10: {
            if (f.p0 != 0) {
                Add(s, "--> Cycle %d : ", f.p0);
            }
            Add(s, "Erreur modem port %d, ", f.s);
            const char* text;
            switch (f.p1) {
                case 1:
                    text = "pas de tonalite";
                    break;
                case 2:
                    text = "ligne occupee";
                    break;
                case 3:
                    text = "pas de porteuse";
                    break;
                case 4:
                    text = "pas de reponse";
                    break;
                case 5:
                    text = "retarde";
                    break;
                case 7:
                    text = "blackliste";
                    break;
                case 12:
                    text = "non connecte au GPRS";
                    break;
                case 16:
                    text = "dep. temps appel";
                    break;
                case 17:
                    text = "reponse AT";
                    break;
                case 18:
                    text = "code PIN";
                    break;
                case 19:
                    text = "perte de la porteuse";
                    break;
                default:
                    text = "erreur inconnue";
                    break;
            }
            Add(s, "%s", text);
            break;
        }
        case 12:
            if (f.s != 0) {
                Add(s, "=== Demande de reload par l'operateur \"%s\"", LoginText(f.s));
            } else {
                Add(s, "=== Demande de reload par le module fonction");
            }
            break;
        case 13:
            Add(s, "---> Cycle %d : Fin de cycle. ", f.s);
            if (f.p1 == 0) {
                Add(s, "Plus d'entite a appeler.");
            } else if (f.p1 == 1) {
                Add(s, "Acquittement global par l'entite %c.", f.p0);
            } else if (f.p1 == 2) {
                Add(s, "Acquittement global du cycle.");
            } else if (f.p1 == 3) {
                Add(s, "Arret de tous les cycles.");
            }
            break;
        case 14:
            Add(s, "---> Cycle %d : Debut de cycle.", f.s);
            break;
        case 15:
            Add(s, "---> Demande d'interruption du cycle %d par l'operateur \"%s\"", f.p0,
                LoginText(f.s));
            break;
        case 16: {
            Add(s, "=== Effacement ");
            const int t = N(f.p0, f.p1);
            if (t == 65535) {
                Add(s, "de toute les donnees horodatees ");
            } else if (t == 2 || t == 3) {
                Add(s, "du journal des communications ");
            } else if (t == 1) {
                Add(s, "du journal de bord ");
            } else {
                const char* name = GetChannelName(s.info, GetModbusAddrChannel(t));
                if (name != nullptr && name[0] != 0) {
                    Add(s, "des memos de la voie \"%s\" ", name);
                } else {
                    Add(s, "des memos de la voie $%.4X ", t);
                }
            }
            Add(s, "par l'operateur \"%s\".", LoginText(f.s));
            break;
        }
        case 17:
            if (f.s != 0) {
                Add(s, "=== Demande de reset par l'operateur \"%s\"", LoginText(f.s));
            } else {
                Add(s, "=== Demande de reset par le module fonction");
            }
            break;
        case 21:
        case 22: {
            if (f.k == 21) {
                Add(s, "---> Identification operateur \"%s\" sur ", LoginText(f.s));
            } else {
                Add(s, "---> Identification echouee sur ");
            }
            static const char* const kWhere[] = {"Minitel",           "ORXLCD", "vocal", "ORXWEB",
                                                 "XMLRPC (tessaron)", "SMS"};
            const int where = f.k == 21 ? f.p0 : f.s;
            if (where <= 5) {
                Add(s, "%s", kWhere[where]);
            }
            break;
        }
        case 26:
            Add(s, "Route No %d ", f.s);
            Add(s, "%s", f.p0 == 1 ? "activee" : "desactivee");
            Add(s, " par Voie No %d", N(f.p1, f.p2));
            if (f.p3 != 0) {
                Add(s, ": erreur=%d", f.p3);
            }
            break;
        case 128:
            Add(s, "<-- Port %d : Fin Appel Entrant ", f.s);
            Add(s, "%s", f.p3 != 0 ? "Status Error" : "Status Ok");
            break;
        case 129: {
            Add(s, "--> Cycle %d : Entite %c fin d'appel ", f.p0, f.p1);
            if (f.s != 255) {
                Add(s, "sur le port %d : ", f.s);
            }
            const char* text = nullptr;
            switch (f.p2) {
                case 0:
                    text = " Acquite";
                    break;
                case 1:
                    text = " Pas de reponse";
                    break;
                case 2:
                    Add(s, " Erreur module (%d)", f.p3);
                    break;
                case 3:
                    text = " Erreur PPP";
                    break;
                case 4:
                    text = " Entite non active";
                    break;
                case 5:
                    text = " Erreur configuration";
                    break;
                case 6:
                    text = " Cycle interrompu";
                    break;
                case 7:
                    text = " Erreur creation du processus";
                    break;
                case 8:
                    text = " Entite Acquitee";
                    break;
                case 9:
                    text = " Erreur modem";
                    break;
                case 20:
                    text = " pas d'acquittement";
                    break;
                case 21:
                    text = " Temps maximum atteint";
                    break;
                case 22:
                    text = " Erreur invite";
                    break;
                default:
                    break;
            }
            if (text != nullptr) {
                Add(s, "%s", text);
            }
            break;
        }
        case 135:
            Add(s, "Deconnexion ip [%d.%d.%d.%d]", f.s, f.p0, f.p1, f.p2);
            break;
        default:
            Add(s, "Code Inconnu: Code $%.2X Data $%.2X $%.2X $%.2X $%.2X $%.2X", f.k, f.s, f.p0,
                f.p1, f.p2, f.p3);
            break;
    }
}

// ---- The sentences of the text file ----------------------------------------------------------

// The six places an operator identifies on, in section "22" for codes 21 and 22.
void OperatorPlace(Sentence& s, int where) {
    static const char* const kKeys[] = {"minitel", "orxlcd", "vocal", "orxweb", "xmlrpc", "sms"};
    if (where >= 0 && where <= 5) {
        Piece(s, "22", kKeys[where], nullptr, 0);
    } else {
        Add(s, "(%d)", where);
    }
}

void FromFile(Sentence& s, const Fields& f) {
    switch (f.k) {
        case 0: {
            Key(s, "port_detection", Int(f.p2));
            static const char* const kProto[] = {"proto_nonidentifie", "proto_modbus_esclave_velun",
                                                 "proto_modbus_maitre_velun", "ppp", "minitel"};
            if (f.s <= 4) {
                Key(s, kProto[f.s]);
            }
            if (f.p3 == 4) {
                Key(s, "appel_raccroche");
            } else if (f.p3 == 5) {
                Key(s, "sonnerie_sans_connexion");
            } else if (f.p3 != 0) {
                Key(s, "erreur");
            } else {
                Key(s, "status_ok");
            }
            break;
        }
        case 1: {
            Key(s, "cycle", Int(f.s));
            if (f.p0 != 0) {
                Key(s, "entite", Char(f.p0));
            }
            const int channel = N(f.p1, f.p2);
            Key(s, "genere_par_la_voie", Int(channel), Text(NameOf(s.info, channel)));
            break;
        }
        case 2:
            if (f.p0 >= 'A' && f.p0 <= 'Z') {
                Key(s, "cycle_entite", Int(f.s), Char(f.p0));
            } else {
                Key(s, "cycle", Int(f.s));
            }
            if (HasLogin(f.p1)) {
                Key(s, "appel_genere_operateur", Text(LoginText(f.p1)));
            } else {
                Key(s, "appel_genere_id", Int(f.p1));
            }
            break;
        case 3: {
            Key(s, "mise_a_heure");
            static const char* const kBy[] = {"xmlrpc", "modbus",    "web", "minitel",
                                              "orxlcd", "clocksync", "sms"};
            if (f.s <= 6) {
                Key(s, kBy[f.s]);
            } else {
                Key(s, "no", Int(f.s));
            }
            struct tm date;
            LocalDate(f.p, date);
            const int international =
                ini_getbool("Date", "international", 0, StationPath(kTextFile).c_str());
            if (international != 0) {
                Add(s, "%4d-%.2d-%.2d", date.tm_year + 1900, date.tm_mon + 1, date.tm_mday);
            } else {
                Add(s, "%.2d/%.2d/%4d", date.tm_mday, date.tm_mon + 1, date.tm_year + 1900);
            }
            Add(s, " %.2d:%.2d:%.2d", date.tm_hour, date.tm_min, date.tm_sec);
            break;
        }
        case 4:
            Key(s, f.p3 != 0 ? "demande_acquittement" : "acquittement");
            if (f.p0 == 1) {
                Key(s, "individuel");
            } else if (f.p0 == 2) {
                Key(s, "parametre");
            } else if (f.p0 == 0) {
                Key(s, "global");
            } else {
                Key(s, "code", Int(f.p0));
            }
            if (f.p1 == 255) {
                Key(s, "tous_cycles");
            } else {
                Key(s, "cycle", Int(f.p1));
            }
            if (f.p2 != 255) {
                Key(s, "entite", Char(f.p2));
            }
            if (f.s != 255) {
                if (HasLogin(f.s)) {
                    Key(s, "operateur", Text(LoginText(f.s)));
                } else {
                    Key(s, "operateur_id", Int(f.s));
                }
            }
            break;
        case 5:
            Key(s, "identification_appel_entrant", Int(f.s));
            if (f.p != 0) {
                Key(s, "numero", Int(static_cast<int>(f.p)));
            } else {
                Key(s, "numero_inconnu");
            }
            break;
        case 6:
            Key(s, "identification_touche_dtmf");
            break;
        case 7:
            Key(s, "identification_connection_ip", Int(f.s), Int(f.p0), Int(f.p1), Int(f.p2));
            break;
        case 8:
            Key(s, "port_communication_interrompue", Int(f.s));
            if (f.p1 == 0) {
                Key(s, "1h_communication");
            } else if (f.p1 == 1) {
                Key(s, "10min_sans_lecture");
            } else {
                Add(s, "(%d)", f.p1);
            }
            break;
        case 9: {
            Key(s, "echange_intersite", Int(N(f.s, f.p0)));
            const FormatArg rate = Int(N(f.p2, f.p3));
            switch (f.p1) {
                case 1:
                    Key(s, "ok_taux_erreur", rate);
                    break;
                case 2:
                    Key(s, "ko_taux_erreur", rate);
                    break;
                case 3:
                    Key(s, "ok_taux_erreur_pas_acquittement", rate);
                    break;
                case 4:
                    Key(s, "ko_erreur_lecture_no");
                    break;
                case 5:
                    Key(s, "ko_no_parametre");
                    break;
                case 255:
                    Key(s, "inhibe");
                    break;
                default:
                    Key(s, "pas_echange_parametrees");
                    break;
            }
            break;
        }
        case 10: {
            if (f.p0 != 0) {
                Key(s, "cycle", Int(f.p0));
            }
            Key(s, "erreur_modem", Int(f.s));
            const char* key = nullptr;
            switch (f.p1) {
                case 1:
                    key = "pas_tonalite";
                    break;
                case 2:
                    key = "ligne_occupee";
                    break;
                case 3:
                    key = "pas_porteuse";
                    break;
                case 4:
                    key = "pas de reponse";
                    break;
                case 5:
                    key = "retarde";
                    break;
                case 7:
                    key = "blackliste";
                    break;
                case 13:
                    key = "non_connecte_gsm";
                    break;
                case 14:
                    key = "non_connecte_gprs";
                    break;
                case 18:
                    key = "dep_temps_appel";
                    break;
                case 19:
                    key = "reponse_at";
                    break;
                case 20:
                    key = "code_pin";
                    break;
                case 21:
                    key = "perte_porteuse";
                    break;
                default:
                    break;
            }
            if (key != nullptr) {
                Key(s, key);
            } else {
                Add(s, "(%d)", f.p1);
            }
            break;
        }
        case 11:
            Key(s, f.p0 != 0 ? "apparition" : "disparition", Int(f.s));
            break;
        case 12:
            if (f.s != 0) {
                Key(s, "demande_reload_operateur", Text(LoginText(f.s)));
            } else {
                Key(s, "demande_reload_fonction");
            }
            break;
        case 13:
            Key(s, "cycle", Int(f.s));
            switch (f.p1) {
                case 0:
                    Key(s, "plus_entite_a_appeler");
                    break;
                case 1:
                    Key(s, "acquittement_individuel_entite", Char(f.p0));
                    break;
                case 2:
                    Key(s, "acquittement_global_entite", Char(f.p0));
                    break;
                case 3:
                    Key(s, "arret_cycles");
                    break;
                default:
                    Add(s, "(%d)", f.p1);
                    break;
            }
            break;
        case 14:
            Key(s, "debut_cycle", Int(f.s));
            break;
        case 15:
            Key(s, "demande_interruption_cycle", Int(f.p0), Text(LoginText(f.s)));
            break;
        case 16: {
            Key(s, "effacement");
            const int t = N(f.p0, f.p1);
            if (t == 65535) {
                Key(s, "toute_donnees");
            } else if (t == 2 || t == 3) {
                Key(s, "journal_communications");
            } else if (t == 1) {
                Key(s, "journal_bord");
            } else {
                const char* name = GetChannelName(s.info, GetModbusAddrChannel(t));
                if (name != nullptr && name[0] != 0) {
                    Key(s, "voie_nom", Text(name));
                } else {
                    Key(s, "voie_sans_nom", Int(t));
                }
            }
            Key(s, "par_operateur", Text(LoginText(f.s)));
            break;
        }
        case 17:
            if (f.s != 0) {
                Key(s, "demande_operateur", Text(LoginText(f.s)));
            } else {
                Key(s, "demande_fonction");
            }
            break;
        case 21:
            Key(s, "identification_operateur", Text(LoginText(f.s)));
            OperatorPlace(s, f.p0);
            break;
        case 22:
            Key(s, "identification_echouee");
            OperatorPlace(s, f.s);
            break;
        case 23:
            Key(s, "code_pin");
            if (f.s != 0) {
                Key(s, "ok");
                Key(s, "tentative", Int(f.p0));
            } else {
                Key(s, "erreur");
                if (f.p1 == 1) {
                    Key(s, "no_sim");
                } else if (f.p1 == 2) {
                    Key(s, "enregistrement");
                } else {
                    Key(s, "inconnu", Int(f.p1));
                }
            }
            break;
        case 26: {
            Key(s, "route", Int(f.s));
            Key(s, f.p0 == 1 ? "activee" : "desactivee");
            const int channel = N(f.p1, f.p2);
            Key(s, "par_voie", Int(channel), Text(NameOf(s.info, channel)));
            if (f.p3 != 0) {
                Key(s, "erreur", Int(f.p3));
            }
            break;
        }
        case 27:
            Key(s, "changement_mode");
            if (f.s == 1) {
                Key(s, "active");
            } else if (f.s == 2) {
                Key(s, "depassement_cycle");
            } else if (f.s == 0) {
                Key(s, "arret");
            } else {
                Add(s, "(%d) ", f.s);
            }
            if ((f.p0 & 2) != 0) {
                Key(s, "erreur");
            }
            if ((f.p0 & 4) != 0) {
                Key(s, "point_arret");
            }
            if ((f.p0 & 8) != 0) {
                Key(s, "cycle_par_cycle");
            }
            break;
        case 28:
            Key(s, "demarrage");
            Key(s, f.s != 0 ? "variables_reinitialisees" : "variables_sauvegardees");
            Key(s, f.p0 != 0 ? "ko" : "ok");
            break;
        case 29:
            Key(s, "heure_station", Int(f.s), Int(static_cast<int>(f.p)));
            break;
        case 30:
            Key(s, "station", Int(f.s));
            break;
        case 128:
            Key(s, "port_fin_appel_entrant", Int(f.s));
            Key(s, f.p3 != 0 ? "status_error" : "status_ok");
            break;
        case 129: {
            Key(s, "cycle_entite_fin_appel", Int(f.p0), Char(f.p1));
            if (f.s != 255) {
                Key(s, "sur_port", Int(f.s));
            }
            const char* key = nullptr;
            switch (f.p2) {
                case 0:
                    key = "acquite";
                    break;
                case 1:
                    key = "pas_de_reponse";
                    break;
                case 2:
                    Key(s, "erreur_module", Int(f.p3));
                    return;
                case 3:
                    key = "erreur_ppp";
                    break;
                case 4:
                    key = "entite_non_active";
                    break;
                case 5:
                    key = "erreur_configuration";
                    break;
                case 6:
                    key = "cycle_interrompu";
                    break;
                case 7:
                    key = "erreur_creation_processus";
                    break;
                case 8:
                    key = "entite_acquitee";
                    break;
                case 9:
                    key = "erreur_modem";
                    break;
                case 20:
                    key = "pas_acquittement";
                    break;
                case 21:
                    key = "temps_maximum_atteint";
                    break;
                case 22:
                    key = "erreur_invite";
                    break;
                default:
                    break;
            }
            if (key != nullptr) {
                Key(s, key);
            } else {
                Add(s, "(%d)", f.p2);
            }
            break;
        }
        case 135:
            Key(s, "deconnexion_ip", Int(f.s), Int(f.p0), Int(f.p1), Int(f.p2));
            break;
        default: {
            const FormatArg args[] = {Int(f.k),  Int(f.s),  Int(f.p0),
                                      Int(f.p1), Int(f.p2), Int(f.p3)};
            Piece(s, kUnknownSection, "code_inconnu", args, 6);
            break;
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
    Sentence s{buffer, size, 0, texts, info, {}};
    Fields f{word >> 8,
             word & 0xFF,
             static_cast<int>(parameter >> 24),
             static_cast<int>((parameter >> 16) & 0xFF),
             static_cast<int>((parameter >> 8) & 0xFF),
             static_cast<int>(parameter & 0xFF),
             parameter};
    std::snprintf(s.section, sizeof s.section, "%d", f.k);
    if (texts == CommLogTexts::FILE) {
        g_cache.sentence = TextFileChecked() ? 1 : -1;
        FromFile(s, f);
        g_cache.sentence = 0;
    } else {
        BuiltIn(s, f);
    }
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
