#include "app/common/CommandLine.h"

#include "app/common/Say.h"
#include "base/Suggest.h"

#include <cctype>
#include <optional>
#include <utility>

#include <getopt.h>

namespace vendrill::app {

namespace {

constexpr int kFirstLong = 256;

// The option as the user wrote it, without a value after '='.
std::string OptionWord(const char* arg)
{
    std::string word = arg ? arg : "";
    const std::size_t eq = word.find('=');
    return eq == std::string::npos ? word : word.substr(0, eq);
}

std::string DidYouMean(const std::optional<std::string>& word)
{
    return word ? "; did you mean '" + *word + "'?" : std::string();
}

// Why an option was not taken, with what was probably meant: given is the
// word as written, shortOption getopt's character for an unknown short one
// (0 for a long one), args the command line.
std::string UnknownOption(const std::vector<OptionDef>& options, const std::string& given, int shortOption,
                          const std::vector<std::string>& args)
{
    std::vector<std::string> names = {"--help", "--version"};
    for (const OptionDef& o : options)
        names.push_back("--" + o.name);
    if (shortOption > 0 && shortOption < kFirstLong) {
        const char c = static_cast<char>(shortOption);
        // A long option written with one dash (-port) is taken apart into
        // short ones; the word as written is what to answer.
        for (const std::string& a : args) {
            if (a == "--")
                break;
            if (a.size() > 2 && a[0] == '-' && a[1] == c) {
                const std::string word = a.substr(0, a.find('='));
                if (const std::optional<std::string> near = NearestWord("-" + word, names))
                    return "unknown option '" + word + "'" + DidYouMean(near);
            }
        }
        std::string text = std::string("unknown option '-") + c + "'";
        for (const auto& [letter, name] : {std::pair{'h', "--help"}, std::pair{'V', "--version"}})
            if (c != letter && std::tolower(static_cast<unsigned char>(c)) == std::tolower(letter))
                text += std::string("; did you mean '-") + letter + "' (" + name + ")?";
        return text;
    }
    std::vector<std::string> prefixed;
    for (const std::string& name : names)
        if (given.size() > 2 && name.rfind(given, 0) == 0)
            prefixed.push_back(name);
    if (prefixed.size() > 1) {
        std::string text = "option '" + given + "' is ambiguous: ";
        for (std::size_t k = 0; k < prefixed.size(); ++k)
            text += (k ? ", " : "") + prefixed[k];
        return text;
    }
    return "unknown option '" + given + "'" + DidYouMean(NearestWord(given, names));
}

bool TakesNoValue(const std::vector<OptionDef>& options, const std::string& given)
{
    if (given == "--help" || given == "--version")
        return true;
    for (const OptionDef& o : options)
        if (given == "--" + o.name)
            return !o.takesValue;
    return false;
}

CommandLine Bad(std::string error)
{
    CommandLine c;
    c.error = std::move(error);
    return c;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<OptionDef>& options, const std::vector<std::string>& args)
{
    // getopt_long works on a mutable argv; it reorders the pointers only.
    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.emplace_back(ProgramName());
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    std::vector<option> table;
    table.push_back({"help", no_argument, nullptr, 'h'});
    table.push_back({"version", no_argument, nullptr, 'V'});
    for (std::size_t k = 0; k < options.size(); ++k)
        table.push_back({options[k].name.c_str(), options[k].takesValue ? required_argument : no_argument, nullptr,
                         kFirstLong + static_cast<int>(k)});
    table.push_back({nullptr, 0, nullptr, 0});

    CommandLine c;
    ::opterr = 0;
    ::optind = 0;  // a fresh scan, also when called more than once
    for (;;) {
        const int code = ::getopt_long(argc, argv.data(), ":hV", table.data(), nullptr);
        if (code == -1)
            break;
        // The option's word: before its value when that came as the next word.
        const std::size_t at = static_cast<std::size_t>(::optind) - 1;
        const bool valueApart = ::optarg != nullptr && at >= 1 && argv[at] == ::optarg;
        const std::string given = OptionWord(argv[valueApart ? at - 1 : at]);
        if (code == 'h') {
            c.help = true;
        } else if (code == 'V') {
            c.version = true;
        } else if (code >= kFirstLong) {
            const OptionDef& o = options[static_cast<std::size_t>(code - kFirstLong)];
            if (std::string error = o.take(given, ::optarg ? ::optarg : ""); !error.empty())
                return Bad(std::move(error));
        } else if (code == ':') {
            return Bad("option " + given + " needs a value");
        } else {
            // An unknown short option inside a cluster (-xy) leaves optind on
            // the word before; given names that one then, not the culprit.
            const bool longForm = ::optopt <= 0 || ::optopt >= kFirstLong ||
                                  ((::optopt == 'h' || ::optopt == 'V') && given.rfind("--", 0) == 0);
            if (longForm && TakesNoValue(options, given))
                return Bad("option " + given + " takes no value");
            return Bad(UnknownOption(options, given, ::optopt, args));
        }
    }
    // getopt_long has moved the arguments that are not options to the end.
    c.arguments.assign(argv.begin() + ::optind, argv.end() - 1);
    c.ok = true;
    return c;
}

}  // namespace vendrill::app
