// The emulated unit: a test double of the unit's firmware. It keeps a flash
// array (erased = 0xFF), answers the command exchange report by report, checks
// write checksums, records every command it receives and can inject faults.
//
// Hosts talk to it through whole 65-byte reports: receive() takes one report
// from the host, send() hands out the next report of the unit. transport()
// wraps it for QV_Hid_openTransport; UnitSimServer serves it on a socket.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common_t73/QV_Hid.h"

// Status words the unit answers.
inline constexpr uint32_t UNIT_STATUS_OK = 0;
inline constexpr uint32_t UNIT_STATUS_BAD_COMMAND = 1; // unknown code or wrong guard words
inline constexpr uint32_t UNIT_STATUS_RANGE = 2;       // outside the flash or misplaced
inline constexpr uint32_t UNIT_STATUS_CHECKSUM = 3;    // D differs from what was stored

// One command as the unit received it.
struct UnitCommand {
    uint8_t code = 0;
    uint32_t a = 0, b = 0, c = 0;
    uint8_t mode = 0;
    uint32_t d = 0;
    uint32_t status = 0;    // status word answered (or that would have been)
    bool replied = false;   // a reply went out (no fault suppressed it)
    uint32_t dataBytes = 0; // write: data bytes received
    uint32_t dataSum = 0;   // write: byte sum of the data as received
};

// One report as the unit took it from the host or handed it out (65 bytes,
// a short one padded with 0xCC as the links pad it).
struct UnitReport {
    bool fromHost = false;
    std::array<uint8_t, 65> bytes{};
    bool operator==(const UnitReport&) const = default;
};

enum class UnitFault {
    NoReply,     // the command gets no data and no reply
    BadChecksum, // the reply's checksum is off by one
    Status,      // the reply carries a non-zero status word
};

// Which commands a fault hits: those with code (0 = any), the nth of them
// counted from 0 since the rule was added (-1 = every one).
struct UnitFaultRule {
    UnitFault kind = UnitFault::NoReply;
    uint8_t code = 0;
    int nth = -1;
    uint32_t status = 7; // for UnitFault::Status
};

// Fields of a main-setting record the emulator sets up.
struct UnitMainSetting {
    uint32_t version = 1;
    std::string board = "T73A"; // at most 4 characters
    uint32_t programVersion = 100;
    uint32_t requiredToolVersion = 0;
    uint8_t optionFlag = 0;
    uint8_t updateToolPresent = 0;
    uint8_t variantB = 0; // voice variant flag (19)
    uint8_t variantD = 0; // gps variant flag (21)
    uint8_t variantC = 0; // second voice variant flag (22)
    uint32_t flashSize = 0;
    uint32_t serverAddress = 0, serverSize = 0;
    uint32_t updateToolAddress = 0, updateToolSize = 0;
    uint32_t voiceAddress = 0, voiceSize = 0;
    uint32_t radarMuteAddress = 0, radarMuteSize = 0;
    uint32_t gpsAddress = 0, gpsSize = 0;
    uint32_t base = 0, leadingSize = 0, layoutEnd = 0;
    uint32_t trackAddress = 0, trackSize = 0;

    // Lays the regions out from the layout's base in the unit's order:
    // leading, server data, voice, radar mute, GPS, update tool, track; each
    // size but the track's rounded up to 4096.
    void placeRegions(bool layout502, uint32_t server, uint32_t voice, uint32_t radarMute,
                      uint32_t gps, uint32_t updateTool, uint32_t track);
};

struct UnitServerSetting {
    std::string apn, server, user, password;
    uint32_t port = 0;
};

// Addresses of the unit's records by layout.
uint32_t unit_param_address(bool layout502);        // 0x11000 / 0x19000
uint32_t unit_main_setting_address(bool layout502); // 0x16000 / 0x1E000
uint32_t unit_identity_address(bool layout502);     // 0x18000 / 0x1F000

// Bytes summed by a parameter record's checksum for kind 1..5 (0 for others).
int unit_param_sum_length(int kind);

// The 231-byte main-setting record with magic at 227.
std::array<uint8_t, 231> unit_main_setting_record(const UnitMainSetting& ms);
// The 178-byte server-settings record with magic at 174.
std::array<uint8_t, 178> unit_server_setting_record(const UnitServerSetting& ss);
// A plausible parameter record of kind 1..5 with its checksum (and marker
// for kinds 3..5); band counts and enables, time zone 8, screen hours 7 and
// 19. Kind 3 carries the GPRS fields. Other kinds give 256 bytes of 0xFF.
std::array<uint8_t, 256> unit_param_record(int kind, const std::string& board = "T73A",
                                           uint32_t programVersion = 100);
// The kind (1..5) a 256-byte parameter record is recognised as, tried from
// kind 5 down; 0 when none matches.
int unit_param_kind_of(const uint8_t* record);
// Stores the checksum of the kind's length (and the kind's marker for 3..5)
// into a 256-byte record. Returns false for kinds outside 1..5.
bool unit_param_seal(uint8_t* record, int kind);

class UnitSim {
  public:
    explicit UnitSim(uint32_t flashSize = 0x800000, uint32_t bootVersion = 1046);
    ~UnitSim();
    UnitSim(const UnitSim&) = delete;
    UnitSim& operator=(const UnitSim&) = delete;

    // ---- what the unit is ----
    void setBootVersion(uint32_t v) { bootVersion_ = v; }
    uint32_t bootVersion() const { return bootVersion_; }
    // Resizes the flash array (new bytes erased) and the size the unit
    // reports.
    void setFlashSize(uint32_t bytes);
    uint32_t flashSize() const { return static_cast<uint32_t>(flash_.size()); }
    std::vector<uint8_t>& flash() { return flash_; }
    const std::vector<uint8_t>& flash() const { return flash_; }
    // Copies bytes into the flash; false when they do not fit.
    bool put(uint32_t address, const void* data, size_t n);
    // Loads a flash image (its size becomes the flash size); false when the
    // file cannot be read or is empty or larger than 256 MiB.
    bool loadImage(const std::string& path);
    // Saves the flash image through a temporary file and a rename.
    bool saveImage(const std::string& path) const;

    // ---- records ----
    // Writes the 512-byte block: checksums, records, 0xFF elsewhere; the
    // second half stays 0xFF without a server-settings record.
    void putMainSettingBlock(bool layout502, const uint8_t* ms231, const uint8_t* ss178);
    void setMainSetting(bool layout502, const UnitMainSetting& ms,
                        const UnitServerSetting* ss = nullptr);
    void putParamRecord(bool layout502, const uint8_t* record256);
    void setParamRecord(bool layout502, int kind, const std::string& board = "T73A",
                        uint32_t programVersion = 100);
    // Identity area: the client id text, then erased bytes.
    void setClientId(bool layout502, const std::string& clientId);
    // Data headers: voice keeps its time stamp at +4, radar mute and GPS at +0.
    void setVoiceHeader(uint32_t address, uint32_t timestamp);
    void setRadarMuteHeader(uint32_t address, uint32_t timestamp);
    void setGpsHeader(uint32_t address, uint32_t timestamp);

    // ---- faults ----
    void addFault(const UnitFaultRule& rule);
    void clearFaults();
    // After n more reports (either direction) the unit is gone; -1 never.
    void unplugAfterReports(long n);
    bool unplugged() const { return unplugged_; }
    // Plugs the unit back in (and ends an unplug count).
    void replug();
    // Each report waits for its slot: one report every us microseconds.
    void setReportDelayUs(uint32_t us);
    // Payload bytes of the data reports of a read (1..64): short reports.
    void setReadPayload(int bytes);
    // A flash cell that keeps a wrong value: whatever a write puts at
    // address is stored with its bits flipped, and the write is still
    // answered as a success (its checksum covers what was received).
    void addWrongByte(uint32_t address);

    // ---- the unit's own start ----
    // The host closed its connection. A unit that got the end of a write run
    // restarts: when its parameter sector was erased on that connection it
    // writes the default parameter record of its kind (the kind it had
    // before the erase).
    void connectionEnded();
    // The kind the unit writes its default record in; 0 = none known.
    int defaultParamKind() const { return paramKind_; }

    // ---- host side ----
    // Takes one report from the host (n bytes, report id in byte 0). False
    // when the unit is gone.
    bool receive(const uint8_t* report, int n);
    // Next report of the unit into report (65 bytes). Returns its byte count,
    // or 0 when the unit has nothing to send or is gone.
    int send(uint8_t* report);
    // Drops what the unit has not sent yet.
    void discardOutput();
    // In-process transport over this unit; the unit must outlive it.
    std::unique_ptr<QV_ReportTransport> transport();

    // ---- what happened ----
    const std::vector<UnitCommand>& commands() const { return commands_; }
    void clearCommands() { commands_.clear(); }
    // Keeps every report each way in reportLog() from now on.
    void logReports(bool on) { logReports_ = on; }
    const std::vector<UnitReport>& reportLog() const { return reportLog_; }
    uint64_t reportsIn() const { return reportsIn_; }
    uint64_t reportsOut() const { return reportsOut_; }
    // Count of received commands with this code.
    int count(uint8_t code) const;

  private:
    struct Rule {
        UnitFaultRule rule;
        int seen = 0;
    };
    int produce(uint8_t* report);
    void handleFrame(const uint8_t* frame);
    void finishWrite();
    void queueReply(UnitCommand& cmd, uint32_t value);
    bool countReport();
    void pace();

    std::vector<uint8_t> flash_;
    uint32_t bootVersion_;

    // write in progress
    bool writing_ = false;
    bool writeInRange_ = false;
    uint32_t writeAddress_ = 0, writeLength_ = 0, writeGot_ = 0;
    std::vector<uint8_t> writeBuffer_;

    // read in progress
    bool reading_ = false;
    uint64_t readAddress_ = 0;
    uint64_t readLeft_ = 0;
    std::array<uint8_t, 65> readReply_{};
    bool readReplyPending_ = false;
    int readPayload_ = 64;

    std::deque<std::array<uint8_t, 65>> out_;
    bool logReports_ = false;
    std::vector<UnitReport> reportLog_;
    std::vector<UnitCommand> commands_;
    std::vector<Rule> rules_;
    // faults decided for the command in progress
    bool suppress_ = false;

    std::vector<uint32_t> wrongBytes_;
    bool finished_ = false; // CMD_FINISH received on this connection
    int paramErased_ = 0;   // parameter sectors erased on it: 1 normal, 2 layout 502
    int paramKind_ = 0;

    long unplugLeft_ = -1;
    bool unplugged_ = false;
    // Read by tests while a server thread serves the unit.
    std::atomic<uint64_t> reportsIn_{0}, reportsOut_{0};

    std::chrono::microseconds delay_{0};
    std::chrono::steady_clock::time_point nextSlot_{};
};

// Serves one unit on a Unix-domain stream socket (or a loopback TCP port):
// 65-byte reports each way,
// one connection at a time, and one SOCKET_REPORT_TAKEN byte to the host
// for each report the unit has taken (before the replies it caused). A
// connection the unit dropped by an unplug fault is closed; the next
// connection plugs it back in.
class UnitSimServer {
  public:
    UnitSimServer(UnitSim& unit, std::string socketPath);
    ~UnitSimServer();
    // Binds and listens, replacing a stale socket file; the socket appears
    // at its path only once it accepts connections. False on failure, also
    // when something other than a socket has the name.
    bool listen();
    // Listens on TCP instead, at host (an IPv4 loopback address: the unit is
    // nobody else's on the network) and port (0: one the system picks; see
    // port()). The socket path given to the constructor is not used. False
    // on failure or for any other address.
    bool listenTcp(const std::string& host, uint16_t port);
    // The TCP port listened on; 0 before listenTcp or on a Unix socket.
    uint16_t port() const;
    // Serves until stop() (from another thread or a signal handler through
    // stopFd()). Calls onDisconnect after each connection ends.
    void run(void (*onDisconnect)(void*) = nullptr, void* user = nullptr);
    // Starts run() on a thread of its own.
    bool start();
    // Ends run() and joins the thread started by start().
    void stop();
    // Writing a byte to this descriptor ends run(); safe in a signal handler.
    int stopFd() const;
    const std::string& path() const { return path_; }

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    UnitSim& unit_;
    std::string path_;
};
