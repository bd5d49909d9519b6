#include "app/common/Exit.h"

#include <algorithm>
#include <iterator>

namespace vendrill::app {

const ExitCodeText kExitCodes[8] = {
    {kExitOk, "success"},
    {kExitFailure, "failure of this program itself"},
    {kExitBadArgument, "bad argument"},
    {kExitNoDevice, "no device: the port or USB printer cannot be opened, or the link was lost"},
    {kExitTimeout, "time-out: the module did not answer within the reply time-out"},
    {kExitModuleError, "module error: the module answered with an error ('9')"},
    {kExitRecord, "record: the record database cannot be opened or read"},
    {kExitNotNamed, "station --count: not every printer of the run was named"},
};

std::string ExitStatusText(const std::vector<ExitUse>& uses, const std::string& after)
{
    std::string text = "Exit status:\n";
    for (const ExitUse& use : uses) {
        const auto entry = std::find_if(std::begin(kExitCodes), std::end(kExitCodes),
                                        [&](const ExitCodeText& e) { return e.code == use.code; });
        std::string meaning = entry == std::end(kExitCodes) ? std::string() : entry->meaning;
        if (use.instead)
            meaning = use.words;
        else if (!use.words.empty())
            meaning += " (" + use.words + ")";
        text += "  " + std::to_string(use.code) + "  " + meaning + "\n";
    }
    return text + after;
}

}  // namespace vendrill::app
