// The frame table of the PLC drivers: the COM settings of one link, its frames with their data
// items, and the channel targets, read from the station's XML configuration. Each driver adds its
// own attributes through a hook; every rule broken is fatal (status file, modmgr notice).
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <vector>

#include "xmlattrib.h"

namespace plc {

// Data item kinds (the element names BIT, ANA, CPT), as logged.
enum class ItemKind : int { kBit = 0, kAna = 1, kCpt = 2 };
// Where the reader stands in the tree.
enum class Position : int { kOutside, kAutomate, kCom, kTrame, kVoies, kVoie };
// When the hook is called: before or after the common handling of an element start, and of an
// element end (attributes null).
enum class HookPhase : int { kBefore, kAfter, kEndBefore, kEndAfter };

inline constexpr int kMaxCommunication = 64;
inline constexpr int kMaxFrameNumber = 32767;
inline constexpr int kMaxDataNumber = 2048;
inline constexpr int kMaxSilenceMs = 60000;
inline constexpr int kMaxTimeoutMs = 3600000;
inline constexpr int kSilenceFallbackMs = 200;

// Room for a driver's own record: plain data that the driver reads and writes through As<T>().
template <size_t N>
struct Extension {
    alignas(std::max_align_t) unsigned char bytes[N] = {};

    template <typename T>
    T* As() {
        static_assert(sizeof(T) <= N && std::is_trivially_copyable_v<T>);
        return std::launder(reinterpret_cast<T*>(bytes));
    }
    template <typename T>
    const T* As() const {
        static_assert(sizeof(T) <= N && std::is_trivially_copyable_v<T>);
        return std::launder(reinterpret_cast<const T*>(bytes));
    }
};

}  // namespace plc

// Settings of the selected COM element.
struct PlcComConfig {
    int port = -1;
    char format[4] = {};  // data bits, parity, stop bits ("8O1")
    int baud = 0;
    int no = 0;  // communication number; 0 until a COM is selected
    int nbIter = 1;
    int nbDef = 1;
    int etat = 0;
    int silence = 0;
    int pause = 0;
    int timeout = 0;
    int trameOk = 0;
    int intertrame = 0;
    int intercycle = 0;
    int bigEndianLong = 1;
    plc::Extension<64> extension;  // the driver's COM attributes
};

// One BIT, ANA or CPT of a frame.
struct PlcDataItem {
    plc::ItemKind kind = plc::ItemKind::kAna;
    int no = 0;    // data index given to chanmgr
    int word = 0;  // word (or 4-byte unit) position, from 1
    int bit = 0;   // BIT only: bit number, from 1 (least significant)
};

// One TRAME of the selected COM.
struct PlcFrameConfig {
    int no = 0;
    int lng = 0;
    int adr = 0;
    int etat = 0;
    int active = 0;
    int declencheur = 0;
    int modification = 0;
    int trameOk = 0;
    int voie = -1;
    int consigneE = -1;
    int consigneR = -1;
    int bigEndianLong = 1;
    int conversion = -1;
    bool write = false;  // data go from the channels to the PLC (set by the driver's hook)
    std::vector<PlcDataItem> items;  // file order
    plc::Extension<48> extension;    // the driver's TRAME attributes
};

// A DST: the channel's value goes to (communication, frame, data index).
struct PlcChannelTarget {
    int channel = 0;
    int communication = 0;
    int frame = 0;
    int index = 0;
};

struct PlcConfig {
    const char* driverName = nullptr;  // as PlcConfigRead was given them
    int requestedPort = -1;
    PlcComConfig com;
    std::vector<PlcFrameConfig> frames;  // file order
    std::vector<PlcChannelTarget> targets;
};

struct PlcConfigLoader;
// The driver's hook: called before and after the common handling of each element start and end
// (attributes null at an end). The reader sets the driver presets (busbridge, plcbridge) of a COM
// meant for the driver before the hook's kBefore call, so the hook may change them. A COM of the
// driver after the one selected is skipped whole, without calling the hook. It reads loader->phase,
// loader->position and the element name, and may preset or add fields (loader->config,
// loader->frame). A broken rule of its own goes to PlcConfigFatal.
using PlcConfigHook = void (*)(PlcConfigLoader* loader, const char* element,
                               XmlAttributes attributes);

// The reader's state, as the hook sees it.
struct PlcConfigLoader {
    PlcConfig* config = nullptr;
    const char* driverName = nullptr;
    int requestedPort = -1;  // -1: any
    PlcConfigHook hook = nullptr;
    void* hookArgument = nullptr;
    plc::Position position = plc::Position::kOutside;
    plc::HookPhase phase = plc::HookPhase::kBefore;
    PlcFrameConfig* frame = nullptr;  // the current TRAME (null outside one)
    int channel = 0;                  // the current VOIE's No
    bool fatal = false;               // a fatal error ended the analysis
    // Elements open inside a TRAME met within the current frame: that TRAME and all it holds
    // are ignored (neither read nor shown to the hook).
    int ignored = 0;
    int hookErrors = 0;  // errors the hook recorded without ending the analysis
};

// Records a fatal configuration error (status file line with the XML line, error log) and stops
// the analysis: nothing after this element is read; the status file gets "** Mode Degrade **"
// and modmgr is told.
void PlcConfigFatal(PlcConfigLoader* loader, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Reads "/var/parameters/configuration.xml" for the driver `driverName` (its COM Type, and its
// status file "/var/log/<name>.xml.status") and the port it was started for (-1: any) into
// *config. 0 when the frame table was accepted (verdict "** Mode Normal **"); -1 otherwise:
// the file cannot be opened (logged, status file untouched), or an error was found (recorded
// with its line; the verdict is "** Mode Degrade **" and modmgr was told).
int PlcConfigRead(PlcConfig* config, const char* driverName, int requestedPort, PlcConfigHook hook,
                  void* hookArgument);
// For a driver that cannot run the table it was given (its line cannot be opened): the status
// file is written again, the verdict "** Mode Degrade **" after one error line with the text
// given and the line of the selected COM, and modmgr is told; the configuration file is read
// once more (config's driver and port) for that line. 0, or -1 with errno ENOENT when the COM
// is no longer found (the file cannot be read: its error, or "no active", stands instead).
int PlcConfigRefuse(const PlcConfig* config, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// PlcConfigRead for the driver's start: a configuration that is not accepted ends the process
// abnormally (abort), so that the driver never runs with a half-checked table.
PlcConfig PlcConfigLoad(const char* driverName, int requestedPort, PlcConfigHook hook,
                        void* hookArgument);
