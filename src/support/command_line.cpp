#include "support/command_line.h"

#include <sysexits.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "version.h"

namespace quillmark {
namespace {

// The option as --help shows it, with its modifier in brackets.
std::string shownName(const ProgramOption& option) {
    const std::string name = option.name;
    return option.modifier ? name + " [" + option.modifier + "]" : name;
}

void printHelp(const ProgramUsage& usage) {
    std::printf("Usage: %s [--help | --version", usage.name);
    for (const ProgramOption& option : usage.options)
        std::printf(" | %s", shownName(option).c_str());
    std::printf(
        "]\n"
        "%s"
        "\n"
        "  --help     print this help and exit\n"
        "  --version  print the version and exit\n",
        usage.description);
    for (const ProgramOption& option : usage.options)
        std::printf("  %-9s  %s\n", shownName(option).c_str(), option.help);
    std::printf("\nSee %s(1).\n", usage.name);
}

// The argument as it can stand in one line of the error: control characters become '?'.
std::string oneLine(std::string_view argument) {
    std::string shown(argument);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return shown;
}

}  // namespace

std::optional<int> answerCommandLine(int argc, char** argv, const ProgramUsage& usage) {
    if (argc < 2) return std::nullopt;
    const std::string_view first = argv[1];
    const auto own =
        std::find_if(usage.options.begin(), usage.options.end(),
                     [first](const ProgramOption& option) { return first == option.name; });
    const bool known = first == "--help" || first == "--version" || own != usage.options.end();
    if (own != usage.options.end() && own->modifier && argc == 3 &&
        argv[2] == std::string_view(own->modifier))
        return own->modifiedAnswer();
    if (known && argc == 2) {
        if (own != usage.options.end()) return own->answer();
        if (first == "--help")
            printHelp(usage);
        else
            std::printf("%s %s\n", usage.name, kVersion);
        return EX_OK;
    }
    // Anything else, a second argument after a known one included, is a usage error.
    std::fprintf(stderr, "%s: unexpected argument '%s'; see %s --help\n", usage.name,
                 oneLine(known ? argv[2] : argv[1]).c_str(), usage.name);
    return EX_USAGE;
}

}  // namespace quillmark
