// Communication-log sentences, in both variants: the built-in French texts, and the text file
// (our own commlog_msg_fr.ini, or a hostile one) with its formats checked before use.
#include "commlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "chanmgr_memories.h"
#include "conf.h"
#include "sandbox.h"
#include "test_variant.h"

namespace {

uint16_t W(int k, int s) {
    return static_cast<uint16_t>(k << 8 | s);
}
uint32_t P(int p0, int p1, int p2, int p3) {
    return static_cast<uint32_t>(p0) << 24 | static_cast<uint32_t>(p1) << 16 |
           static_cast<uint32_t>(p2) << 8 | static_cast<uint32_t>(p3);
}

class CommLog : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        ResetChannelMaxNb();
        ResetModbusAddr();
        box.WriteFile("/tmp/orxapp.ini", "[ENV]\nCHANNEL_MAX_NB=50\n");
        const std::string digest(32, 'a');
        box.WriteFile("/tmp/utilvelun.txt", "#;comment\njdupont;Jean Dupont;0007;" + digest +
                                                "\nmleroy;Marie Leroy;0003;" + digest + "\n");
        memories.SetRecord(3, {"Niveau", "", 2, kFlagDefined});
        memories.SetRecord(5, {"", "", 5, kFlagDefined});
        memories.SetLastChannel(50);
        ASSERT_EQ(ChannelInfoOpen(&info), 0);
    }
    void TearDown() override {
        ChannelInfoClose(&info);
        unsetenv("TZ");
        tzset();
    }
    std::string Sentence(CommLogTexts texts, uint16_t word, uint32_t parameter, int size = 200) {
        std::vector<char> text(static_cast<size_t>(size) + 8, 'Z');
        int n = BuildCommSentence(texts, &info, word, parameter, text.data(), size);
        EXPECT_EQ(n, static_cast<int>(std::strlen(text.data())));
        return text.data();
    }
    void ShippedTexts() {
        box.WriteFile(commlog::kTextFile, ReadSource("common/station/commlog_msg_fr.ini"));
    }
    static std::string ReadSource(const std::string& relative) {
        std::string text;
        if (FILE* f = std::fopen(SourcePath(relative).c_str(), "rb")) {
            char block[4096];
            size_t n;
            while ((n = std::fread(block, 1, sizeof block, f)) > 0) {
                text.append(block, n);
            }
            std::fclose(f);
        }
        return text;
    }

    Sandbox box;
    ChanmgrMemories memories;
    ChannelInfo info;
};

}  // namespace

TEST_F(CommLog, BuiltInSentences) {
    struct Case {
        uint16_t word;
        uint32_t parameter;
        const char* expected;
    } cases[] = {
        {W(0, 1), P(0, 0, 3, 0), "<-- Port 3 : Detection. Proto Modbus Esclave Velun Status Ok "},
        {W(0, 9), P(0, 0, 2, 5), "<-- Port 2 : Detection. Sonnerie sans connexion "},
        {W(0, 0), P(0, 0, 2, 7), "<-- Port 2 : Detection. Proto. non identifie Erreur "},
        {W(1, 4), P('B', 0, 3, 0), "--> Cycle 4 : Entite B genere par la voie 3 \"Niveau\""},
        {W(1, 4), P(0, 0, 5, 0), "--> Cycle 4 : genere par la voie 5 "},
        {W(2, 1), P('A', 2, 0, 0),
         "--> Cycle 1 : Entite A appel genere par l'operateur "
         "\"jdupont\""},
        {W(2, 1), P('A', 9, 0, 0), "--> Cycle 1 : Entite A appel genere par l'operateur 9"},
        {W(3, 5), 1700000000, "=== Mise a l'heure par clocksync: 14/11/2023 22:13:20"},
        {W(3, 9), 1700000000, "=== Mise a l'heure par (9): 14/11/2023 22:13:20"},
        {W(4, 3), P(1, 2, 'C', 1),
         "Demande acquittement individuel : Cycle 2 : Entite C  : "
         "operateur \"mleroy\""},
        {W(4, 255), P(0x2A, 255, 255, 0), "Acquittement Code($2A) : Tous cycles"},
        // The byte 0 as an entity ends its piece, as in any text; the next piece follows.
        {W(4, 255), P(2, 255, 0, 0), "Acquittement parametre : Tous cycles : Entite "},
        {W(2, 1), P(0, 9, 0, 0), "--> Cycle 1 : Entite appel genere par l'operateur 9"},
        {W(4, 7), P(0, 1, 255, 0), "Acquittement global : Cycle 1 : operateur 7"},
        {W(7, 192), P(168, 1, 20, 0), "Identification connection ip : [192.168.1.20]"},
        {W(8, 1), P(0, 1, 0, 0), "<-- Port 1 : Communication interrompue10min sans lecture"},
        {W(8, 1), P(0, 7, 0, 0), "<-- Port 1 : Communication interrompue"},
        {W(9, 1), P(2, 1, 1, 4), "--> Echange Intersite station 258 - OK - taux d'erreur 260 %"},
        {W(9, 0), P(5, 4, 0, 0), "--> Echange Intersite station 5 - Pas d'echange parametrees'"},
        {W(10, 2), P(3, 12, 0, 0), "--> Cycle 3 : Erreur modem port 2, non connecte au GPRS"},
        {W(10, 2), P(0, 13, 0, 0), "Erreur modem port 2, erreur inconnue"},
        {W(11, 1), P(1, 0, 0, 0), "Code Inconnu: Code $0B Data $01 $01 $00 $00 $00"},
        {W(12, 2), 0, "=== Demande de reload par l'operateur \"jdupont\""},
        {W(12, 0), 0, "=== Demande de reload par le module fonction"},
        {W(13, 6), P('D', 1, 0, 0),
         "---> Cycle 6 : Fin de cycle. Acquittement global par "
         "l'entite D."},
        {W(15, 1), P(4, 0, 0, 0),
         "---> Demande d'interruption du cycle 4 par l'operateur "
         "\"korvi\""},
        {W(16, 1), P(0xFF, 0xFF, 0, 0),
         "=== Effacement de toute les donnees horodatees par "
         "l'operateur \"korvi\"."},
        {W(16, 2), P(0, 1, 0, 0),
         "=== Effacement du journal de bord par l'operateur "
         "\"jdupont\"."},
        {W(16, 2), P(0, 3, 0, 0),
         "=== Effacement du journal des communications par "
         "l'operateur \"jdupont\"."},
        {W(16, 2), P(0x16, 0x02, 0, 0),
         "=== Effacement des memos de la voie \"Niveau\" par "
         "l'operateur \"jdupont\"."},
        {W(16, 2), P(0x30, 0x08, 0, 0),
         "=== Effacement des memos de la voie $3008 par "
         "l'operateur \"jdupont\"."},
        {W(17, 0), 0, "=== Demande de reset par le module fonction"},
        {W(21, 3), P(4, 0, 0, 0),
         "---> Identification operateur \"mleroy\" sur XMLRPC "
         "(tessaron)"},
        {W(22, 5), 0, "---> Identification echouee sur SMS"},
        {W(22, 6), 0, "---> Identification echouee sur "},
        {W(26, 2), P(1, 0, 3, 9), "Route No 2 activee par Voie No 3: erreur=9"},
        {W(128, 4), P(0, 0, 0, 1), "<-- Port 4 : Fin Appel Entrant Status Error"},
        {W(129, 1), P(7, 'E', 2, 33),
         "--> Cycle 7 : Entite E fin d'appel sur le port 1 :  "
         "Erreur module (33)"},
        {W(129, 255), P(7, 'E', 21, 0),
         "--> Cycle 7 : Entite E fin d'appel  Temps maximum "
         "atteint"},
        {W(135, 10), P(0, 0, 1, 0), "Deconnexion ip [10.0.0.1]"},
        {W(200, 1), P(2, 3, 4, 5), "Code Inconnu: Code $C8 Data $01 $02 $03 $04 $05"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sentence(CommLogTexts::BUILTIN, c.word, c.parameter), c.expected)
            << (c.word >> 8) << "/" << (c.word & 0xFF);
    }
}

TEST_F(CommLog, SentencesAreCutToTheBuffer) {
    for (int size : {1, 2, 10, 20, 50}) {
        std::string whole = Sentence(CommLogTexts::BUILTIN, W(16, 2), P(0xFF, 0xFF, 0, 0));
        EXPECT_EQ(Sentence(CommLogTexts::BUILTIN, W(16, 2), P(0xFF, 0xFF, 0, 0), size),
                  whole.substr(0, static_cast<size_t>(size - 1)))
            << size;
    }
}

TEST_F(CommLog, TextFileSentences) {
    ShippedTexts();
    struct Case {
        uint16_t word;
        uint32_t parameter;
        const char* expected;
    } cases[] = {
        {W(1, 4), P('B', 0, 3, 0), "--> Cycle 4 : Entite B genere par la voie 3 \"Niveau\""},
        {W(3, 0), 1700000000, "=== Mise a l'heure par xmlrpc: 14/11/2023 22:13:20"},
        {W(8, 1), P(0, 7, 0, 0), "<-- Port 1 : Communication interrompue (7)"},
        {W(10, 2), P(0, 13, 0, 0), "Erreur modem port 2, non connecte au GSM"},
        {W(10, 2), P(0, 4, 0, 0), "Erreur modem port 2, pas de reponse"},
        {W(11, 3), P(1, 0, 0, 0), "=== Apparition du defaut 3"},
        {W(21, 1), P(9, 0, 0, 0), "---> Identification operateur \"korvi\" sur (9)"},
        {W(23, 0), P(0, 1, 0, 0), "=== Code PIN refuse : pas de carte SIM"},
        {W(26, 2), P(1, 0, 3, 0), "Route No 2 activee par Voie No 3 \"Niveau\""},
        {W(27, 1), P(6, 0, 0, 0), "=== Changement de mode : actif, erreur, point d'arret"},
        {W(29, 1), 4000000000u, "=== Heure de la station (1) : 4000000000"},
        {W(200, 1), P(2, 3, 4, 5), "Code Inconnu: Code $C8 Data $01 $02 $03 $04 $05"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sentence(CommLogTexts::FILE, c.word, c.parameter), c.expected)
            << (c.word >> 8) << "/" << (c.word & 0xFF);
    }
    box.WriteFile(commlog::kTextFile,
                  "[Date]\ninternational=1\n[3]\nmise_a_heure=\"=== \"\n"
                  "xmlrpc=\"xmlrpc: \"\n");
    EXPECT_EQ(Sentence(CommLogTexts::FILE, W(3, 0), 1700000000), "=== xmlrpc: 2023-11-14 22:13:20");
}

// Each code in both renderings (the text file is ours), on values that tell the two apart where
// they differ: which pieces each has, and the texts of codes the built-in one does not know.
TEST_F(CommLog, EveryCodeInBothRenderings) {
    ShippedTexts();
    struct Case {
        uint16_t word;
        uint32_t parameter;
        const char* builtIn;
        const char* file;  // null: the same as the built-in text
    } cases[] = {
        {W(0, 2), P('A', 2, 3, 4),
         "<-- Port 3 : Detection. Proto Modbus Maitre Velun Appel Raccroche ", nullptr},
        {W(1, 7), P('Z', 9, 5, 0), "--> Cycle 7 : Entite Z genere par la voie 2309 ",
         "--> Cycle 7 : Entite Z genere par la voie 2309 \"\""},
        {W(2, 2), P('A', 2, 3, 4),
         "--> Cycle 2 : Entite A appel genere par l'operateur \"jdupont\"", nullptr},
        {W(2, 3), P(0, 5, 4, 1), "--> Cycle 3 : Entite appel genere par l'operateur 5",
         "--> Cycle 3 : appel genere par l'operateur 5"},
        {W(3, 7), P('Z', 9, 5, 0), "=== Mise a l'heure par (7): 13/11/2017 02:35:44", nullptr},
        {W(4, 1), P(1, 1, 'C', 1),
         "Demande acquittement individuel : Cycle 1 : Entite C  : operateur \"korvi\"", nullptr},
        {W(5, 1), P(1, 1, 1, 1), "Identification d'appel entrant : [info a completer]",
         "<-- Port 1 : Identification d'appel entrant : numero 16843009"},
        {W(5, 0), P(0, 0, 0, 0), "Identification d'appel entrant : [info a completer]",
         "<-- Port 0 : Identification d'appel entrant : numero inconnu"},
        {W(6, 0), P(0, 0, 0, 0), "Identification touche dtmf : [info a completer]",
         "Identification touche dtmf"},
        {W(7, 2), P('A', 2, 3, 4), "Identification connection ip : [2.65.2.3]", nullptr},
        {W(8, 0), P(0, 0, 0, 0), "<-- Port 0 : Communication interrompue1h de communication ",
         "<-- Port 0 : Communication interrompue 1h de communication "},
        {W(9, 1), P(1, 255, 1, 1), "--> Echange Intersite station 257 - Pas d'echange parametrees'",
         "--> Echange Intersite station 257 - Echange inhibe"},
        {W(10, 1), P(1, 18, 1, 1), "--> Cycle 1 : Erreur modem port 1, code PIN",
         "--> Cycle 1 : Erreur modem port 1, dep. temps appel"},
        {W(11, 1), P(0, 0, 0, 0), "Code Inconnu: Code $0B Data $01 $00 $00 $00 $00",
         "=== Disparition du defaut 1"},
        {W(12, 3), P(0, 5, 4, 1), "=== Demande de reload par l'operateur \"mleroy\"", nullptr},
        {W(13, 2), P('A', 2, 3, 4), "---> Cycle 2 : Fin de cycle. Acquittement global du cycle.",
         "---> Cycle 2 : Fin de cycle. Acquittement global par l'entite A."},
        {W(14, 7), P('Z', 9, 5, 0), "---> Cycle 7 : Debut de cycle.", nullptr},
        {W(15, 2), P('A', 2, 3, 4),
         "---> Demande d'interruption du cycle 65 par l'operateur \"jdupont\"", nullptr},
        {W(16, 2), P(0x16, 2, 0, 0),
         "=== Effacement des memos de la voie \"Niveau\" par l'operateur \"jdupont\".", nullptr},
        {W(17, 3), P(0, 5, 4, 1), "=== Demande de reset par l'operateur \"mleroy\"", nullptr},
        {W(21, 3), P(0, 5, 4, 1), "---> Identification operateur \"mleroy\" sur Minitel", nullptr},
        {W(22, 2), P('A', 2, 3, 4), "---> Identification echouee sur vocal", nullptr},
        {W(23, 1), P(1, 1, 1, 1), "Code Inconnu: Code $17 Data $01 $01 $01 $01 $01",
         "=== Code PIN accepte a la tentative 1"},
        {W(24, 1), P(1, 1, 1, 1), "Code Inconnu: Code $18 Data $01 $01 $01 $01 $01", nullptr},
        {W(26, 3), P(0, 5, 4, 1), "Route No 3 desactivee par Voie No 1284: erreur=1",
         "Route No 3 desactivee par Voie No 1284 \"\": erreur=1"},
        {W(27, 7), P('Z', 9, 5, 0), "Code Inconnu: Code $1B Data $07 $5A $09 $05 $00",
         "=== Changement de mode : (7) , erreur, cycle par cycle"},
        {W(28, 1), P(1, 1, 1, 1), "Code Inconnu: Code $1C Data $01 $01 $01 $01 $01",
         "=== Demarrage de la station, variables reinitialisees : KO"},
        {W(29, 2), P('A', 2, 3, 4), "Code Inconnu: Code $1D Data $02 $41 $02 $03 $04",
         "=== Heure de la station (2) : 1090650884"},
        {W(30, 7), P('Z', 9, 5, 0), "Code Inconnu: Code $1E Data $07 $5A $09 $05 $00",
         "=== Station 7"},
        {W(128, 2), P('A', 2, 3, 4), "<-- Port 2 : Fin Appel Entrant Status Error", nullptr},
        {W(129, 1), P(1, 'E', 1, 1),
         "--> Cycle 1 : Entite E fin d'appel sur le port 1 :  Pas de reponse", nullptr},
        {W(135, 1), P(1, 1, 1, 1), "Deconnexion ip [1.1.1.1]", nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sentence(CommLogTexts::BUILTIN, c.word, c.parameter), c.builtIn)
            << (c.word >> 8) << "/" << (c.word & 0xFF);
    }
    // The built-in route text shows no channel name, so it looks none up (a missing one is logged).
    EXPECT_EQ(box.Log().find("indice=1284"), std::string::npos) << box.Log();
    for (const Case& c : cases) {
        EXPECT_EQ(Sentence(CommLogTexts::FILE, c.word, c.parameter),
                  c.file != nullptr ? c.file : c.builtIn)
            << (c.word >> 8) << "/" << (c.word & 0xFF);
    }
}

// Every key the sentences look up is in our text file, and each of its formats fits the
// arguments it is given: a sweep over the codes and the values that choose the pieces finds no
// missing text and no refused format.
TEST_F(CommLog, OurTextFileHasEveryKeyAndEachFits) {
    ShippedTexts();
    const int codes[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,  12,  13,  14,
                         15, 16, 17, 21, 22, 23, 26, 27, 28, 29, 30, 128, 129, 135, 200};
    const int bytes[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,   12, 13,
                         14, 15, 16, 17, 18, 19, 20, 21, 22, 'A', 255};
    for (int k : codes) {
        for (int v : bytes) {
            for (int at = 0; at < 5; ++at) {
                const int s = at == 0 ? v : 1;
                uint32_t p = P(at == 1 ? v : 1, at == 2 ? v : 0, at == 3 ? v : 0, at == 4 ? v : 0);
                Sentence(CommLogTexts::FILE, W(k, s), p);
            }
        }
    }
    for (const std::string& line : box.LogLines()) {
        EXPECT_EQ(line.find("no text found"), std::string::npos) << line;
        EXPECT_EQ(line.find("refused"), std::string::npos) << line;
    }
}

// The text file comes from outside: a format that does not fit its piece is refused (never
// handed to printf) and the piece reads "Format Error !".
TEST_F(CommLog, HostileFormatsAreRefused) {
    box.WriteFile(commlog::kTextFile,
                  "[14]\ndebut_cycle=\"Cycle %s %s %n\"\n"
                  "[6]\nidentification_touche_dtmf=\"%d%d%d%d\"\n"
                  "[7]\nidentification_connection_ip=\"%d.%d.%d.%d.%d.%d\"\n"
                  "[16]\neffacement=\"Effacement \"\ntoute_donnees=\"%s \"\npar_operateur=\"%d\"\n"
                  "[135]\ndeconnexion_ip=\"%.*d\"\n");
    struct Case {
        uint16_t word;
        uint32_t parameter;
        const char* expected;
        const char* logged;
    } cases[] = {
        {W(14, 2), 0, "Format Error !",
         "text of [14] debut_cycle refused (conversion of another kind than its argument) : "
         "\"Cycle %s %s %n\""},
        {W(6, 0), 0, "Format Error !", "text of [6] identification_touche_dtmf refused"},
        {W(7, 1), 0, "Format Error !", "more conversions than arguments"},
        // A piece without arguments prints its own text: one %s is the text itself.
        {W(16, 1), P(0xFF, 0xFF, 0, 0), "Effacement %s  Format Error !",
         "text of [16] par_operateur refused"},
        {W(135, 1), 0, "Format Error !", "precision taken from an argument"},
        {W(30, 1), 0, "text not found", "no text found for 30,station"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sentence(CommLogTexts::FILE, c.word, c.parameter), c.expected) << c.logged;
        EXPECT_NE(box.Log().find(c.logged), std::string::npos) << c.logged << "\n" << box.Log();
    }
}

// The text file is prepared once per process from the program's folder: the French file first,
// then another language over it when there is one.
TEST_F(CommLog, TheTextFileIsPreparedFromTheProgramsFolder) {
    ScopedCommLogTexts texts(CommLogTexts::FILE);
    box.WriteFile("/usr/bin/velun/commlog_msg_fr.ini", "[14]\ndebut_cycle=\"Debut %d\"\n");
    box.WriteFile("/usr/bin/velun/commlog_msg_en.ini", "[14]\ndebut_cycle=\"Start %d\"\n");
    box.WriteFile("/usr/bin/velun/notes.txt", "");
    char text[64];
    EXPECT_EQ(display_comm(W(14, 3), 0, text, sizeof text), 7);
    EXPECT_STREQ(text, "Start 3");
    EXPECT_EQ(box.ReadFile(commlog::kTextFile), "[14]\ndebut_cycle=\"Start %d\"\n");
}
