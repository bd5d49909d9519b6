#include "res/Resources.h"

namespace vendrill {

QString AppIconPath()
{
    return QStringLiteral(":/vendrill/vendrill.svg");
}

}  // namespace vendrill
