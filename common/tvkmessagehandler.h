// SPDX-License-Identifier: MIT
#ifndef TVKMESSAGEHANDLER_H
#define TVKMESSAGEHANDLER_H

#include "tvkbase_global.h"

namespace Quorvan {

// Where the libraries' diagnostic lines go ("connect failed", "error = ...",
// "(TCP server) Invalid host:...", "parse version: ...", "Data Type Convert
// Error ....."): to standard output unless a handler is installed, which
// then receives each line instead, without its line end, with the name of
// the library that wrote it ("fieldlink", "plcconfig"). The framework's
// base library has a handler of its own ("base": a handler connected to a
// signal with a type its emitter never calls), standard error without one.
// A handler may be called from any thread that uses the library; it must
// not call back into the library.
using CtvkMessageHandler = void (*)(const char* library, const char* line);

// Each library's own: installs `handler` for that library's lines (null:
// standard output again) and answers the handler it replaces.
#if defined(TVK_BUILD_FIELDLINK)
TVK_DECL_EXPORT CtvkMessageHandler tvkInstallFieldlinkMessageHandler(CtvkMessageHandler handler);
#else
CtvkMessageHandler tvkInstallFieldlinkMessageHandler(CtvkMessageHandler handler) __attribute__((weak));
#endif
#if defined(TVK_BUILD_PLCCONFIG)
TVK_DECL_EXPORT CtvkMessageHandler tvkInstallPlcconfigMessageHandler(CtvkMessageHandler handler);
#else
CtvkMessageHandler tvkInstallPlcconfigMessageHandler(CtvkMessageHandler handler) __attribute__((weak));
#endif

#if defined(TVK_BUILD_BASE)
TVK_DECL_EXPORT CtvkMessageHandler tvkInstallBaseMessageHandler(CtvkMessageHandler handler);
#else
CtvkMessageHandler tvkInstallBaseMessageHandler(CtvkMessageHandler handler) __attribute__((weak));
#endif

#if !defined(TVK_BUILD_FIELDLINK) && !defined(TVK_BUILD_PLCCONFIG) && !defined(TVK_BUILD_BASE)
// One handler for every library the program is linked with; a library it
// does not link is left out (its installer is a weak reference).
inline void tvkInstallMessageHandler(CtvkMessageHandler handler)
{
    if (tvkInstallFieldlinkMessageHandler)
        tvkInstallFieldlinkMessageHandler(handler);
    if (tvkInstallPlcconfigMessageHandler)
        tvkInstallPlcconfigMessageHandler(handler);
    if (tvkInstallBaseMessageHandler)
        tvkInstallBaseMessageHandler(handler);
}
#endif

} // namespace Quorvan

#endif
