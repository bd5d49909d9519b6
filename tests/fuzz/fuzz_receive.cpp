// Receive path: arbitrary byte batches go through the accumulated reply text
// and the decoder the way the dialog drives them, one drained batch at a time.
//
// Input: repeated [length][bytes]. A length byte below 0x80 is the batch
// length itself; otherwise its two low bits and the next byte give a length
// up to 1023, the most one drain of the receive queue can deliver.

#include "FuzzCheck.h"
#include "protocol/Protocol.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

using namespace vendrill;

namespace {

constexpr std::size_t kMaxBatch = 1023;
constexpr char kStx = 0x02, kEtx = 0x03;

std::size_t BatchLength(fuzz::Input& in)
{
    const std::uint8_t b = in.Byte();
    if ((b & 0x80) == 0)
        return b;
    const std::size_t len = (static_cast<std::size_t>(b & 0x03) << 8) | in.Byte();
    return std::min(len, kMaxBatch);
}

// Complete reply: an STX anywhere, and the first ETX at index 1 or later.
bool ExpectComplete(const std::string& text)
{
    const std::size_t etx = text.find(kEtx);
    return etx != std::string::npos && etx >= 1 && text.find(kStx) != std::string::npos;
}

// Decoder fields worked out on their own, to hold ParseReply against.
void CheckParse(const std::string& text)
{
    const proto::Reply r = proto::ParseReply(text);
    const long size = static_cast<long>(text.size());
    const std::size_t p = text.find(kStx);

    if (p == std::string::npos) {
        FUZZ_CHECK(r.i == 0 && r.j == 0);
        FUZZ_CHECK(!r.hasCommand);
        FUZZ_CHECK(r.data.empty());
        return;
    }
    const long i = static_cast<long>(p) + 4;
    std::size_t e = std::string::npos;
    for (std::size_t k = 1; k < text.size(); ++k) {
        if (text[k] == kEtx) {
            e = k;
            break;
        }
    }
    const long j = e == std::string::npos ? 0 : static_cast<long>(e) - i;
    FUZZ_CHECK(r.i == i);
    FUZZ_CHECK(r.j == j);
    FUZZ_CHECK(r.hasCommand == (static_cast<long>(p) + 3 < size));
    if (r.hasCommand)
        FUZZ_CHECK(r.command == text[p + 3]);

    std::string expected;
    if (j > 0 && i < size)
        expected = text.substr(static_cast<std::size_t>(i), static_cast<std::size_t>(std::min(j, size - i)));
    FUZZ_CHECK(r.data == expected);

    // The data is a piece of the text, never runs into the ETX that ends it.
    FUZZ_CHECK(r.data.size() <= text.size());
    if (!r.data.empty()) {
        FUZZ_CHECK(r.i >= 0 && static_cast<std::size_t>(r.i) + r.data.size() <= text.size());
        FUZZ_CHECK(text.compare(static_cast<std::size_t>(r.i), r.data.size(), r.data) == 0);
        if (e != std::string::npos)
            FUZZ_CHECK(r.data.find(kEtx) == std::string::npos);
    }
}

void CheckTexts(const std::string& data)
{
    const std::string level = proto::LevelText(data);
    FUZZ_CHECK(level == "Mode " + data + (data == "1" ? " (Not Use Pinkey)" : " (Use Pinkey)"));

    const auto pairing = proto::PairingModeText(data);
    if (data == "1")
        FUZZ_CHECK(pairing && *pairing == "Legacy pairing");
    else if (data == "2")
        FUZZ_CHECK(pairing && *pairing == "Just Works");
    else if (data == "3")
        FUZZ_CHECK(pairing && *pairing == "Numeric Comparison");
    else
        FUZZ_CHECK(!pairing);

    const auto sniff = proto::SniffText(data);
    if (data == "1")
        FUZZ_CHECK(sniff && *sniff == "sniff mode enable");
    else if (data == "0")
        FUZZ_CHECK(sniff && *sniff == "sniff mode disable");
    else
        FUZZ_CHECK(!sniff);
}

void CheckLogLine(const std::uint8_t* batch, std::size_t n)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    const std::string line = proto::HexLogLine(batch, n);
    FUZZ_CHECK(line.size() == 3 * n);
    for (std::size_t k = 0; k < n; ++k) {
        FUZZ_CHECK(line[3 * k] == ' ');
        FUZZ_CHECK(line[3 * k + 1] == kHex[batch[k] >> 4]);
        FUZZ_CHECK(line[3 * k + 2] == kHex[batch[k] & 0x0F]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input in(data, size);
    std::string acc;

    while (!in.Empty()) {
        const std::string_view bytes = in.Take(BatchLength(in));
        const std::size_t n = bytes.size();
        if (n == 0)
            continue;  // an empty drain leaves everything as it is

        // A buffer of exactly n bytes, so that a read past the batch is caught.
        const auto batch = std::make_unique<std::uint8_t[]>(n);
        std::memcpy(batch.get(), bytes.data(), n);

        const std::string before = acc;
        const proto::ReceiveStep step = proto::Receive(acc, batch.get(), n);

        // What the batch contributes: every byte but the zero bytes.
        std::string appended(bytes);
        appended.erase(std::remove(appended.begin(), appended.end(), '\0'), appended.end());
        const std::string combined = before + std::string(appended);

        FUZZ_CHECK(acc.size() < proto::REPLY_TEXT_LIMIT);
        if (ExpectComplete(combined)) {
            // The whole text is taken out, so one batch decodes at most once.
            FUZZ_CHECK(step.complete);
            FUZZ_CHECK(step.reply == combined);
            FUZZ_CHECK(acc.empty());
            FUZZ_CHECK(!step.overflowed);
        } else {
            FUZZ_CHECK(!step.complete);
            FUZZ_CHECK(step.reply.empty());
            if (combined.size() >= proto::REPLY_TEXT_LIMIT) {
                FUZZ_CHECK(step.overflowed);
                FUZZ_CHECK(acc.empty());
            } else {
                FUZZ_CHECK(!step.overflowed);
                FUZZ_CHECK(acc == combined);
            }
        }
        FUZZ_CHECK(acc.find('\0') == std::string::npos);

        if (step.complete) {
            const std::string& reply = step.reply;
            FUZZ_CHECK(reply.find(kStx) != std::string::npos);
            const std::size_t etx = reply.find(kEtx);
            FUZZ_CHECK(etx != std::string::npos && etx >= 1);
            CheckParse(reply);
            CheckTexts(proto::ParseReply(reply).data);
        }
        // The decoder copes with any text, also one the dialog would not decode.
        CheckParse(acc);
        CheckParse(combined);

        CheckLogLine(batch.get(), n);
    }
    return 0;
}
