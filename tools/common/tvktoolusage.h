// SPDX-License-Identifier: MIT
#ifndef TVKTOOLUSAGE_H
#define TVKTOOLUSAGE_H

#include "tvktoolexit.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace tvktool {

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
        << CLI::Formatter().make_usage(&app, app.get_name()) << "Run with --help for more information.\n";
    return ExitUsage;
}

} // namespace tvktool

#endif
