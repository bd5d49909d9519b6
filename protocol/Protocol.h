#pragma once

// Module settings protocol: request frames (ESC '~' c ...), reply decoding
// and the numeric-suffix arithmetic of Set BDN. Pure functions, no I/O and
// no state; the session (session/Session.h) keeps the busy flag, the timer
// and the trace lines.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vendrill::proto {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t ESC = 0x1B, TILDE = 0x7E, STX = 0x02, ETX = 0x03;

// Command characters of the requests.
inline constexpr char CMD_GET_BDN = '1';
inline constexpr char CMD_SET_BDN = '2';
inline constexpr char CMD_GET_BDA = '3';
inline constexpr char CMD_GET_PINKEY = '4';
inline constexpr char CMD_SET_PINKEY = '5';
inline constexpr char CMD_GET_LEVEL = '6';
inline constexpr char CMD_SET_LEVEL = '7';
inline constexpr char CMD_ERROR = '9';  // only ever seen in replies
inline constexpr char CMD_GET_PAIRING = 'A';
inline constexpr char CMD_SET_PAIRING = 'B';
inline constexpr char CMD_GET_SNIFF = 'C';
inline constexpr char CMD_SET_SNIFF = 'D';

// Longest text a Set PinKey / Set BDN frame may carry: 4 header bytes plus
// 59 text bytes keep every frame within 63 bytes.
inline constexpr std::size_t MAX_TEXT_BYTES = 59;
// Name plus numeric suffix must stay below this many bytes.
inline constexpr std::size_t NAME_WITH_SUFFIX_LIMIT = 60;
// The accumulated reply text is dropped once it reaches this length.
inline constexpr std::size_t REPLY_TEXT_LIMIT = 100;

// ---- requests --------------------------------------------------------------

// What a request carries after its command character: nothing (the Get
// requests), a selection digit (Set Level, Set pairing mode, set sniff mode)
// or a length byte and a text (Set BDN, Set PinKey).
enum class ArgumentKind { None, Selection, Text };
ArgumentKind ArgumentOf(char command);

// 1B 7E c
Bytes GetRequest(char command);
// 1B 7E c s
Bytes SelectRequest(char command, char selection);

// Selection digit of Set Level from the list index: 0 -> '1', else '3'.
char LevelSelection(int index);
// Selection digit of Set pairing mode: 0 -> '1', 1 -> '2', 2 -> '3', else '1'.
char PairingSelection(int index);

// 1B 7E c n text, n = byte length of text. Returns std::nullopt (send
// nothing) for an empty text or one longer than MAX_TEXT_BYTES.
std::optional<Bytes> TextRequest(char command, std::string_view text);

// True when a name of nameBytes plus a suffix of suffixBytes is short enough
// to be sent (together below NAME_WITH_SUFFIX_LIMIT bytes).
bool SuffixFits(std::size_t nameBytes, std::size_t suffixBytes);
// The longest name with its suffix that can be sent.
inline constexpr std::size_t MAX_NAME_WITH_SUFFIX_BYTES = NAME_WITH_SUFFIX_LIMIT - 1;

// The suffix that follows s: its value plus one, at least five digits
// zero-filled, then left-padded with '0' to the width of s.
//   00099 -> 00100, 7 -> 00008, 0000012 -> 0000013, 99999 -> 100000
// The arithmetic is done on the decimal string, so values of any length
// work (99999999999 -> 100000000000) instead of wrapping at 32 bits.
// Only the leading digits of s count as its value (0 when s does not start
// with a digit); the width is still that of the whole of s.
std::string NextSuffix(std::string_view s);


// ---- replies ---------------------------------------------------------------

// Appends the bytes of a drained batch, leaving out every 0x00.
void AppendBatch(std::string& acc, const std::uint8_t* batch, std::size_t n);

// True when acc holds an STX anywhere and its first ETX lies at index 1 or
// later. An ETX at index 0 blocks decoding.
bool HasCompleteReply(const std::string& acc);

struct Reply {
    int i = 0;               // index where the data starts (STX + 4)
    int j = 0;               // data length as computed (ETX - i), may be negative
    bool hasCommand = false; // false when the text is too short to hold one
    char command = 0;        // character at STX + 3
    std::string data;        // substr(i, j) clamped to the text
};

// Decodes acc: p = first STX, e = first ETX from index 1, i = p + 4,
// j = e - i. Never reads outside acc. Without an STX, i and j are 0 and
// there is no command; without an ETX (from index 1), j is 0.
Reply ParseReply(const std::string& acc);

// One drained batch through the accumulated reply text: the batch is
// appended (without its 0x00 bytes); a complete reply is taken out whole, with
// everything behind its first ETX, and the text is left empty; otherwise a
// text that has reached REPLY_TEXT_LIMIT is dropped. The reply is taken out
// before it is decoded, so that a decoder that lets further batches in (a
// message box) can neither decode it twice nor lose what they bring.
struct ReceiveStep {
    bool complete = false;    // reply holds a text to decode
    std::string reply;
    bool overflowed = false;  // the text reached the limit and was dropped
};
ReceiveStep Receive(std::string& acc, const std::uint8_t* batch, std::size_t n);

// Log line for a drained batch: " 02 41 42 33", a blank and two upper-case
// hex digits per byte, zero bytes included.
std::string HexLogLine(const std::uint8_t* bytes, std::size_t n);

// Text of Current Security Level: "Mode <data> (Not Use Pinkey)" when data is
// exactly "1", otherwise "Mode <data> (Use Pinkey)".
std::string LevelText(const std::string& data);

// "1" Legacy pairing, "2" Just Works, "3" Numeric Comparison, else nullopt.
std::optional<std::string> PairingModeText(const std::string& data);

// "1" sniff mode enable, "0" sniff mode disable, else nullopt.
std::optional<std::string> SniffText(const std::string& data);

}  // namespace vendrill::proto
