#pragma once

// How a conversation with the module goes, shared by the window and the
// command-line tool: which request follows which reply, the trace lines and
// names of requests and replies, and what a user may type into a PIN key,
// name or suffix. Pure functions, no I/O and no state.

#include "protocol/Protocol.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vendrill::proto {

// Longest PIN key and name a user may enter, in bytes.
inline constexpr std::size_t MAX_PINKEY_BYTES = 16;
inline constexpr std::size_t MAX_NAME_BYTES = 29;

// The trace line written before a request goes out ("ESC ~ 3 Get GDA\n"),
// or nullptr for a request that is sent without one.
const char* RequestTrace(char command);
// The trace line written when a reply of this kind is decoded ("Get BDA\n"),
// or nullptr.
const char* ReplyTrace(char command);
// Name of a request or reply kind for messages ("Get BDA").
std::string RequestName(char command);

// Whether a request is held back while another one is outstanding: every
// request but Get BDN, Set BDN and the sniff requests waits its turn.
bool WaitsItsTurn(char command);
// Whether a request waits for its answer with the reply time-out: every
// request but the sniff requests, whose answers end nothing.
bool AwaitsAnswer(char command);

// What a reply of this kind shows: the address, PIN key or name as sent, the
// level as LevelText, the pairing mode as PairingModeText, the sniff status
// as SniffText. nullopt for data that means nothing (a pairing mode or sniff
// status outside the known ones: nothing is shown for it) and for replies
// that carry no value (acknowledgements, '9').
std::optional<std::string> ReplyValue(char command, const std::string& data);

// The read-back chain: the request that follows a decoded reply, or 0 when
// the chain ends there. Get BDA -> Get PinKey -> Get BDN -> Get pairing mode
// (new module) or Get Level (old module); a pairing reply of Legacy pairing
// -> Get Level; an acknowledged Set starts again at Get BDA.
char NextRequest(char replyCommand, const std::string& data, bool newModule);

// What a pairing-mode reply means for the PIN key and security level: true
// for Legacy pairing (they are in use), false for Just Works and Numeric
// Comparison, nullopt for any other data (nothing changes).
std::optional<bool> PairingUsesPinKey(const std::string& data);

// An address that no real module has: all zeros or all ones (FFFFFFFFFFFF).
// Modules that were never given an address answer so, and so do all of
// their copies: such a module cannot be told from another. Separators
// (':', '-', ' ') are left out; anything else that is not a hex digit makes
// it an address like any other.
bool IsBlankAddress(std::string_view address);

// ---- typed text ---------------------------------------------------------------

// A character a user may type into a PIN key or name: ASCII letters and
// digits, space, '_', '-' and '~'. A suffix takes digits only.
bool IsTextChar(char32_t c);
bool IsSuffixChar(char32_t c);

enum class TextKind { PinKey, Name, Suffix };

// Why a text may not be sent. `position` counts characters from 1.
struct TextFault {
    enum class Kind { Empty, TooLong, BadChar } kind = Kind::Empty;
    std::size_t position = 0;  // BadChar: where
    char32_t character = 0;    // BadChar: which (U+FFFD for bytes that are not UTF-8)
    std::size_t limit = 0;     // TooLong: the byte limit
    bool digitsOnly = false;   // BadChar: the text takes digits only
    std::string Describe(std::string_view what) const;
};

// Checks a UTF-8 text against the typing rule and the byte limit of its kind
// (PIN key 1..16, name 1..29, suffix any length of digits).
std::optional<TextFault> CheckText(std::string_view utf8, TextKind kind);

}  // namespace vendrill::proto
