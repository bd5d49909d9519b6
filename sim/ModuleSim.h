#pragma once

// Simulated Bluetooth module of the printer: its settings, a parser for the
// ESC '~' requests that accepts bytes in arbitrary pieces, and the reply
// frames it answers with. No I/O and no locking; CSimHost puts it on a line.

#include "protocol/Protocol.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace vendrill {

// Ways the simulated module can misbehave. Plain values; CSimHost guards its
// copy so that they can be changed while it runs.
struct SimOptions {
    bool silent = false;        // parse requests, but change nothing and never answer
    int delayMs = 0;            // wait this long before each reply (host only)
    int split = 1;              // send each reply in this many writes (host only)
    int splitGapMs = 250;       // pause between those writes, so they arrive apart (host only)
    proto::Bytes noise;         // bytes sent in front of each reply
    bool overlongName = false;  // answer Get BDN with a 34-character name
    bool alwaysError = false;   // answer every request with '9' and change nothing
    bool oldModule = false;     // older generation: no answer at all to 'A', 'B', 'C', 'D'
    bool refuseName = false;    // answer Set BDN with '9' and keep the name
    bool loseNameAck = false;   // take the name from Set BDN but never answer it
    int nameAckDelayMs = 0;     // answer Set BDN this much later still (host only)
};

struct ModuleState {
    std::string address = "00190199A1B2";  // 12 hex digits, fixed
    std::string pin = "0000";
    std::string name = "VENDRILL-PRN";
    char level = '1';    // security level digit
    char pairing = '1';  // pairing mode digit
    char sniff = '0';    // sniff mode digit
};

// The name answered with the over-long-name option: a 29-character name with
// a 5-digit suffix, longer than the tool's 29-character field.
inline constexpr const char* kOverlongName = "VENDRILL-PRINTER-MODULE-NAME-00001";

// STX, two filler bytes ('V', 'R': neither 0x00 nor 0x03), command, data, ETX.
proto::Bytes MakeReply(char command, std::string_view data);

// Cuts bytes into at most `pieces` non-empty pieces of nearly equal size
// (fewer when there are fewer bytes). pieces < 1 counts as 1.
std::vector<proto::Bytes> SplitBytes(const proto::Bytes& bytes, int pieces);

class CModuleSim {
public:
    // Acceptance rules of this module:
    //  - Set PinKey: 1..16 bytes; Set BDN: 1..59 bytes. Texts holding 0x00,
    //    STX or ETX are refused, since they could not be answered in a reply.
    //  - Set Level: '1', '2' or '3'; Set pairing mode: '1'..'3';
    //    sniff: '0' or '1'.
    //  - Anything else, and unknown command characters, are refused with '9'.
    static constexpr std::size_t kMaxPinBytes = 16;
    static constexpr std::size_t kMaxNameBytes = 59;
    // Whether the module takes this PIN key or name (bytes as sent).
    static bool TakesText(std::string_view text, std::size_t maxBytes);
    // Printed text is kept as lines; an unterminated line is cut at this size
    // and only the newest kMaxPrintedLines lines are kept.
    static constexpr std::size_t kMaxLineBytes = 4096;
    static constexpr std::size_t kMaxPrintedLines = 1000;

    CModuleSim() = default;

    // Takes request bytes as they come and returns the replies to send, each
    // one complete write unit (noise included), in order.
    std::vector<proto::Bytes> Feed(const std::uint8_t* data, std::size_t n);

    // True while a frame has begun but is not complete.
    bool InFrame() const { return m_phase != Phase::Text; }
    // Forgets a frame that stopped arriving (the line went quiet mid-frame).
    void AbortFrame();

    const SimOptions& Options() const { return m_options; }
    void SetOptions(const SimOptions& options) { m_options = options; }
    const ModuleState& State() const { return m_state; }
    void SetState(const ModuleState& state) { m_state = state; }

    // Lines of plain text the printer received outside request frames, each
    // ended by LF (CR bytes are dropped). Text not yet ended by LF is pending.
    std::vector<std::string> PrintedLines() const { return {m_printed.begin(), m_printed.end()}; }
    const std::string& PendingText() const { return m_line; }
    void ClearPrinted();

    // Complete request frames seen, answered or not.
    std::uint64_t RequestCount() const { return m_requests; }
    // Set BDN frames seen, accepted or refused.
    std::uint64_t NameRequests() const { return m_nameRequests; }

    // What the printer went through, in order: "?c" for each request frame
    // (c its command character) and "P:text" for each printed line. Only the
    // newest kMaxPrintedLines entries are kept.
    std::vector<std::string> Journal() const { return {m_journal.begin(), m_journal.end()}; }
    void ClearJournal() { m_journal.clear(); }

private:
    enum class Phase { Text, Esc, Tilde, Selection, Length, Body };

    void PrintByte(std::uint8_t b);
    void EndLine();
    void Note(std::string entry);
    void Request(char command, const std::string& argument, std::vector<proto::Bytes>& replies);
    proto::Bytes Answer(char command, const std::string& argument);

    SimOptions m_options;
    ModuleState m_state;

    Phase m_phase = Phase::Text;
    char m_command = 0;
    std::size_t m_need = 0;
    std::string m_argument;

    std::string m_line;
    std::deque<std::string> m_printed;
    std::uint64_t m_requests = 0;
    std::uint64_t m_nameRequests = 0;
    std::deque<std::string> m_journal;
};

}  // namespace vendrill
