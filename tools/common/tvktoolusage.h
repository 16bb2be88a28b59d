// SPDX-License-Identifier: MIT
#ifndef TVKTOOLUSAGE_H
#define TVKTOOLUSAGE_H

#include "tvktoolexit.h"
#include "tvktoolspelling.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <string>
#include <vector>

namespace tvktool {

// After a parse that failed: one line for each option the command line
// spelt wrong, with the option it most likely meant ("did you mean
// --duration instead of --durationn?"); empty when none is near.
inline std::string didYouMean(const CLI::App& app)
{
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames())
            names.push_back("--" + name);
        for (const std::string& name : option->get_snames())
            names.push_back("-" + name);
    }
    std::string lines;
    for (const std::string& arg : app.remaining()) {
        if (arg.size() < 2 || arg[0] != '-')
            continue;
        const std::string word = arg.substr(0, arg.find('='));
        const std::string meant = nearestName(word, names);
        if (!meant.empty())
            lines += "did you mean " + meant + " instead of " + word + "?\n";
    }
    return lines;
}

// Ends a command line that CLI11 refused. --help and --version print what
// they were asked for and succeed; a usage error is said with the tool's
// name in front, so that it stands out in a script's log, followed by the
// usage line.
inline ExitStatus parseFailure(const CLI::App& app, const CLI::ParseError& e, std::ostream& out = std::cout,
                               std::ostream& err = std::cerr)
{
    if (e.get_exit_code() == 0) {
        app.exit(e, out, err);
        return ExitSuccess;
    }
    err << app.get_name() << ": " << e.what() << "\n"
        << didYouMean(app) << CLI::Formatter().make_usage(&app, app.get_name())
        << "Run with --help for more information.\n";
    return ExitUsage;
}

} // namespace tvktool

#endif
