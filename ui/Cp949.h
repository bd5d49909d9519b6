#pragma once

#include <QString>
#include <string>

// The dialog's text members are byte strings in code page 949; widgets hold
// Unicode. These convert at the widget boundary. Bytes that are not valid
// CP949 come out as U+FFFD; characters CP949 cannot hold go in as '?'.
namespace vendrill {

std::string ToCp949(const QString& text);
QString FromCp949(const std::string& bytes);

}  // namespace vendrill
