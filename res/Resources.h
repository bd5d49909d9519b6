#pragma once

#include <QString>

namespace vendrill {

// Path of the application icon artwork inside the program's Qt resources.
QString AppIconPath();

}  // namespace vendrill
