// Request frames from arbitrary field texts: the text requests on their own,
// and Set BDN composed from a name and a numeric suffix the way the dialog
// does it, with the frame put into the 80-byte zeroed send buffer.
//
// Input: [command][name length][flags][4 bytes index][name][suffix...].

#include "FuzzCheck.h"
#include "protocol/Protocol.h"

#include <array>
#include <cstring>
#include <optional>
#include <string>

using namespace vendrill;

namespace {

constexpr std::size_t kMaxFrame = 63;
constexpr std::size_t kNameFieldLimit = 29;  // typing limit of the Set BDN field

// The dialog assembles every Set frame in a zeroed 80-byte buffer.
std::array<std::uint8_t, 80> IntoSendBuffer(const proto::Bytes& frame)
{
    std::array<std::uint8_t, 80> buffer{};
    FUZZ_CHECK(frame.size() <= buffer.size());
    std::memcpy(buffer.data(), frame.data(), frame.size());
    for (std::size_t k = frame.size(); k < buffer.size(); ++k)
        FUZZ_CHECK(buffer[k] == 0);
    return buffer;
}

// Frame layout: ESC '~' command, byte length, then the text bytes as they are.
std::optional<proto::Bytes> CheckTextRequest(char command, std::string_view text)
{
    const std::optional<proto::Bytes> frame = proto::TextRequest(command, text);
    if (text.empty() || text.size() > proto::MAX_TEXT_BYTES) {
        FUZZ_CHECK(!frame);
        return frame;
    }
    FUZZ_CHECK(frame.has_value());
    const proto::Bytes& f = *frame;
    FUZZ_CHECK(f.size() == text.size() + 4);
    FUZZ_CHECK(f.size() <= kMaxFrame);
    FUZZ_CHECK(f[0] == proto::ESC && f[1] == proto::TILDE);
    FUZZ_CHECK(f[2] == static_cast<std::uint8_t>(command));
    FUZZ_CHECK(f[3] == text.size());
    FUZZ_CHECK(std::memcmp(f.data() + 4, text.data(), text.size()) == 0);
    IntoSendBuffer(f);
    return frame;
}

void CheckSuffixFits(std::size_t nameBytes, std::size_t suffixBytes)
{
    // Both below the limit first, so the sum below cannot wrap.
    const bool fits = nameBytes < proto::NAME_WITH_SUFFIX_LIMIT && suffixBytes < proto::NAME_WITH_SUFFIX_LIMIT &&
                      nameBytes + suffixBytes < proto::NAME_WITH_SUFFIX_LIMIT;
    FUZZ_CHECK(proto::SuffixFits(nameBytes, suffixBytes) == fits);
}

// Set BDN: name, and the suffix when "Add numeric" is on and it is not empty.
void SetBdn(std::string_view name, std::string_view suffix, bool addNumeric)
{
    if (name.empty()) {
        FUZZ_CHECK(!proto::TextRequest(proto::CMD_SET_BDN, name));
        return;  // nothing sent
    }
    std::string text(name);
    if (addNumeric && !suffix.empty()) {
        CheckSuffixFits(name.size(), suffix.size());
        if (!proto::SuffixFits(name.size(), suffix.size())) {
            FUZZ_CHECK(name.size() + suffix.size() >= proto::NAME_WITH_SUFFIX_LIMIT);
            return;  // too long: nothing sent, suffix unchanged
        }
        text += suffix;
        FUZZ_CHECK(text.size() <= proto::MAX_TEXT_BYTES);

        const std::string next = proto::NextSuffix(suffix);
        FUZZ_CHECK(fuzz::AllDigits(next));
        FUZZ_CHECK(next.size() >= 5 && next.size() >= suffix.size());
    }
    const std::optional<proto::Bytes> frame = CheckTextRequest(proto::CMD_SET_BDN, text);
    if (name.size() <= kNameFieldLimit)
        FUZZ_CHECK(frame.has_value());  // a name the field can hold always goes out
    if (frame)
        FUZZ_CHECK(frame->size() <= kMaxFrame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input in(data, size);
    const char command = static_cast<char>(in.Byte());
    const std::size_t nameLength = in.Byte() & 0x3F;
    const std::uint8_t flags = in.Byte();
    std::uint32_t raw = 0;
    for (int k = 0; k < 4; ++k)
        raw = (raw << 8) | in.Byte();
    const std::string_view name = in.Take(nameLength);
    const std::string_view suffix = in.Rest();
    const std::string_view all(reinterpret_cast<const char*>(data), size);

    for (const std::string_view text : {name, suffix, all}) {
        CheckTextRequest(proto::CMD_SET_BDN, text);
        CheckTextRequest(proto::CMD_SET_PINKEY, text);
        CheckTextRequest(command, text);
    }

    const bool addNumeric = (flags & 1) != 0;
    SetBdn(name.substr(0, kNameFieldLimit), suffix, addNumeric);
    SetBdn(name, suffix, addNumeric);  // also past the field's limit

    CheckSuffixFits(name.size(), suffix.size());
    CheckSuffixFits(raw, size);
    CheckSuffixFits(static_cast<std::size_t>(-1) - raw, static_cast<std::size_t>(-1) - size);

    const int index = static_cast<int>(raw);
    FUZZ_CHECK(proto::LevelSelection(index) == (index == 0 ? '1' : '3'));
    const char pairing = proto::PairingSelection(index);
    FUZZ_CHECK(pairing == (index == 1 ? '2' : index == 2 ? '3' : '1'));

    const proto::Bytes select = proto::SelectRequest(command, pairing);
    FUZZ_CHECK(select.size() == 4 && select[2] == static_cast<std::uint8_t>(command) && select[3] == pairing);
    IntoSendBuffer(select);
    FUZZ_CHECK(proto::GetRequest(command).size() == 3);
    return 0;
}
