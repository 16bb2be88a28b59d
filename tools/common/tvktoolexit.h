// SPDX-License-Identifier: MIT
#ifndef TVKTOOLEXIT_H
#define TVKTOOLEXIT_H

namespace tvktool {

// What a tool's exit status tells a script that ran it. A plain enumeration:
// main() returns it as it is.
enum ExitStatus : int {
    ExitSuccess = 0,   // done, and everything was in order
    ExitFault = 1,     // the device or the script is at fault
    ExitUsage = 2      // bad usage, or input that cannot be read
};

} // namespace tvktool

#endif
