#pragma once

// What the programs print, in one place: plain text, JSON and CSV, with one
// text rule. A module's texts are bytes in code page 949 and are shown as
// the characters they stand for; bytes that are not code page 949 stay
// readable as U+FFFD and, in JSON, all the value's bytes again in hexadecimal
// under "<key>_hex". Every other text (the record's, the program's own) is
// UTF-8. Plain output writes control characters as \xNN, so that no value
// can break a line or drive the terminal.

#include "record/Record.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vendrill::app {

// Result lines in order: key and the module's value (code page 949).
using Fields = std::vector<std::pair<std::string, std::string>>;
// Numbers that stand beside a field of that key in JSON, as "<key>_number".
using Numbers = std::vector<std::pair<std::string, std::int64_t>>;

// "key: value\n" per field, in UTF-8.
std::string FormatPlain(const Fields& fields);
// One JSON object on one line, keys in order, then "\n"; always valid UTF-8.
// A failure adds its error (UTF-8 text) as "error" and the exit status as
// "exit" (exitCode 0: neither).
std::string FormatJson(const Fields& fields, const Numbers& numbers = {}, const std::string& error = {},
                       int exitCode = 0);

// UTF-8 text as plain output shows it (bytes that are not UTF-8 as U+FFFD).
std::string PlainText(std::string_view utf8);
// A JSON string of UTF-8 text; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view utf8);
// How CSV cells are written: as recorded (for programs), or for a
// spreadsheet, where a cell that starts with = + - @ (or a tab or carriage
// return) would be taken for a formula: such a cell starts with ' instead.
enum class CsvCells { AsRecorded, ForSpreadsheet };
// A CSV field of UTF-8 text, quoted when it must be.
std::string CsvField(std::string_view utf8, CsvCells cells = CsvCells::AsRecorded);

// A JSON object, built key by key.
class CJsonObject {
public:
    CJsonObject& Text(std::string_view key, std::string_view utf8);
    // A module's text: decoded, with "<key>_hex" when it is not code page 949.
    CJsonObject& ModuleText(const std::string& key, std::string_view cp949);
    CJsonObject& Number(std::string_view key, std::optional<std::int64_t> value);  // null when none
    CJsonObject& Bool(std::string_view key, bool value);
    CJsonObject& Raw(std::string_view key, std::string_view json);  // a JSON value made elsewhere
    CJsonObject& Null(std::string_view key) { return Raw(key, "null"); }
    std::string Str() const { return m_text + "}"; }

private:
    CJsonObject& Key(std::string_view key);
    std::string m_text = "{";
};

// A JSON array of values made elsewhere, "[a,\n b]".
std::string JsonArray(const std::vector<std::string>& values);

// Visits of the record: one JSON object each (keys record::kVisitColumns),
// an array of them, and a table with a header line whose fields are
// separated by `sep` (',': CSV, flags 1 and 0; else plain text, flags yes
// and no).
std::string VisitJson(const record::VisitEntry& entry);
std::string VisitsJson(const std::vector<record::VisitEntry>& entries);
std::string VisitsTable(const std::vector<record::VisitEntry>& entries, char sep, bool header = true,
                        CsvCells cells = CsvCells::AsRecorded);

}  // namespace vendrill::app
