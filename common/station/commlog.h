// One line of the communication log (event word, parameter word) as a sentence. The sentences
// exist in two variants, chosen per program (variant.h): French texts built into the program,
// or printf formats looked up by event code and key in the text file "/tmp/commlog_msg.ini",
// prepared from "/usr/bin/velun". A format read from the file is checked against the arguments
// of its piece before use (formatcheck.h); one that does not fit gives "Format Error !" and a
// log line.
#pragma once

#include <cstdint>

#include "channeldb.h"
#include "variant.h"

namespace commlog {
constexpr const char* kTextFile = "/tmp/commlog_msg.ini";
constexpr const char* kTextDirectory = "/usr/bin/velun";
constexpr const char* kFrenchFile = "/usr/bin/velun/commlog_msg_fr.ini";
constexpr const char* kFrenchName = "commlog_msg_fr.ini";
constexpr const char* kUnknownSection = "256";
constexpr const char* kNotFound = "text not found";
constexpr const char* kInternalError = "Internal error";
constexpr const char* kNoTextFile = "no text file found";
constexpr const char* kFormatError = "Format Error !";
constexpr int kTextMax = 79;  // characters of a format read from the file
}  // namespace commlog

// The sentence of one line, built for a variant with a given channel information (the engine
// under display_comm; tests and fuzzing give their own). Pieces are appended in the room left;
// the length of the sentence (at most size - 1).
int BuildCommSentence(CommLogTexts texts, ChannelInfo* info, uint16_t word, uint32_t parameter,
                      char* buffer, int size);

// The sentence for this program's variant. The channel information is opened on first use and
// kept ("Internal error" while it cannot be); the file variant prepares the text file first
// ("no text file found" when its directory cannot be read).
int display_comm(uint16_t word, uint32_t parameter, char* buffer, int size);

// Text-file variant. Once per process: when "/tmp/commlog_msg.ini" is missing, copies the French
// file to it, then the first other "commlog_msg*.ini" of the directory over it. 1 ready; 0 the
// directory cannot be read.
int initialise_texts();
// The format of key in section (at most 79 characters), "text not found" when there is none
// (logged). The text is shared by all calls.
const char* get_text(const char* section, const char* key);
// Name of a channel, or the empty text.
const char* lit_nom_voie(int channel);
