#include "app/common/Output.h"

#include "base/TextCodec.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace vendrill::app {

namespace {

std::string Hex(std::string_view bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

}  // namespace

std::string PlainText(std::string_view utf8)
{
    std::string out;
    for (const char c : ValidUtf8(utf8)) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::string FormatPlain(const Fields& fields)
{
    std::string out;
    for (const auto& [key, value] : fields)
        out += key + ": " + PlainText(Cp949ToUtf8(value)) + "\n";
    return out;
}

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t k = 0; k < text.size();) {
        const auto b = static_cast<unsigned char>(text[k]);
        if (b < 0x80) {
            switch (b) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (b < 0x20 || b == 0x7F) {
                    char esc[7];
                    std::snprintf(esc, sizeof esc, "\\u%04x", b);
                    out += esc;
                } else {
                    out += static_cast<char>(b);
                }
            }
            ++k;
            continue;
        }
        const std::size_t len = Utf8Length(text, k);
        if (len > 0) {
            out.append(text.substr(k, len));
            k += len;
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD
            ++k;
        }
    }
    out += '"';
    return out;
}

std::string CsvField(std::string_view utf8, CsvCells cells)
{
    std::string text = ValidUtf8(utf8);
    if (cells == CsvCells::ForSpreadsheet && !text.empty() && std::strchr("=+-@\t\r", text[0]))
        text.insert(0, 1, '\'');
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

CJsonObject& CJsonObject::Key(std::string_view key)
{
    if (m_text.size() > 1)
        m_text += ", ";
    m_text += JsonString(key);
    m_text += ": ";
    return *this;
}

CJsonObject& CJsonObject::Text(std::string_view key, std::string_view utf8)
{
    Key(key).m_text += JsonString(utf8);
    return *this;
}

CJsonObject& CJsonObject::ModuleText(const std::string& key, std::string_view cp949)
{
    Text(key, Cp949ToUtf8(cp949));
    if (!IsValidCp949(cp949))
        Text(key + "_hex", Hex(cp949));
    return *this;
}

CJsonObject& CJsonObject::Number(std::string_view key, std::optional<std::int64_t> value)
{
    Key(key).m_text += value ? std::to_string(*value) : std::string("null");
    return *this;
}

CJsonObject& CJsonObject::Bool(std::string_view key, bool value)
{
    Key(key).m_text += value ? "true" : "false";
    return *this;
}

CJsonObject& CJsonObject::Raw(std::string_view key, std::string_view json)
{
    Key(key).m_text += json;
    return *this;
}

std::string FormatJson(const Fields& fields, const Numbers& numbers, const std::string& error, int exitCode)
{
    CJsonObject o;
    for (const auto& [key, value] : fields) {
        o.ModuleText(key, value);
        for (const auto& [numberKey, number] : numbers)
            if (numberKey == key)
                o.Number(key + "_number", number);
    }
    if (exitCode != 0) {
        o.Text("error", error);
        o.Number("exit", exitCode);
    }
    return o.Str() + "\n";
}

std::string JsonArray(const std::vector<std::string>& values)
{
    std::string out = "[";
    for (std::size_t k = 0; k < values.size(); ++k)
        out += (k ? ",\n " : "") + values[k];
    return out + "]";
}

namespace {

// The values of a visit in the order of record::kVisitColumns; numbers and
// flags are marked so that JSON writes them as such.
enum class Kind { Text, Number, Flag };
std::vector<std::pair<std::string, Kind>> VisitValues(const record::VisitEntry& e)
{
    const record::Visit& v = e.visit;
    return {{e.time, Kind::Text},
            {v.station, Kind::Text},
            {v.address, Kind::Text},
            {record::ResultName(v.result), Kind::Text},
            {v.name, Kind::Text},
            {v.number >= 0 ? std::to_string(v.number) : "", Kind::Number},
            {e.state, Kind::Text},
            {v.found, Kind::Text},
            {v.label ? "1" : "0", Kind::Flag},
            {v.pin ? "1" : "0", Kind::Flag},
            {v.level ? "1" : "0", Kind::Flag},
            {v.reason, Kind::Text},
            {v.radio, Kind::Text},
            {v.nameHeard, Kind::Text}};
}

constexpr std::size_t kColumns = std::size(record::kVisitColumns);

}  // namespace

std::string VisitJson(const record::VisitEntry& entry)
{
    const auto row = VisitValues(entry);
    CJsonObject json;
    for (std::size_t c = 0; c < kColumns; ++c) {
        const auto& [text, kind] = row[c];
        const char* key = record::kVisitColumns[c];
        if (kind == Kind::Number)
            json.Number(key, text.empty() ? std::nullopt : std::optional<std::int64_t>(std::stoll(text)));
        else if (kind == Kind::Flag)
            json.Bool(key, text == "1");
        else
            json.Text(key, text);
    }
    return json.Str();
}

std::string VisitsJson(const std::vector<record::VisitEntry>& entries)
{
    std::vector<std::string> objects;
    objects.reserve(entries.size());
    for (const record::VisitEntry& e : entries)
        objects.push_back(VisitJson(e));
    return JsonArray(objects) + "\n";
}

std::string VisitsTable(const std::vector<record::VisitEntry>& entries, char sep, bool header, CsvCells cells)
{
    const auto field = [&](const std::string& t) { return sep == ',' ? CsvField(t, cells) : PlainText(t); };
    std::string out;
    if (header) {
        for (std::size_t c = 0; c < kColumns; ++c)
            out += std::string(c ? 1 : 0, sep) + record::kVisitColumns[c];
        out += "\n";
    }
    for (const record::VisitEntry& e : entries) {
        const auto row = VisitValues(e);
        for (std::size_t c = 0; c < kColumns; ++c) {
            // A person reads "pin yes", where "pin 0" looks like a PIN key;
            // CSV is for programs and keeps 1 and 0.
            const auto& [text, kind] = row[c];
            const std::string value = kind == Kind::Flag && sep != ',' ? (text == "1" ? "yes" : "no") : text;
            out += std::string(c ? 1 : 0, sep) + field(value);
        }
        out += "\n";
    }
    return out;
}

}  // namespace vendrill::app
