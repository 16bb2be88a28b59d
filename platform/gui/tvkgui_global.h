// SPDX-License-Identifier: MIT
#ifndef TVKGUI_GLOBAL_H
#define TVKGUI_GLOBAL_H

#include "tvkbase_global.h"

// Marks what libtvk_gui exports; everything else stays hidden.
#if defined(TVK_BUILD_GUI)
#define TVK_GUI_EXPORT TVK_DECL_EXPORT
#else
#define TVK_GUI_EXPORT TVK_DECL_IMPORT
#endif

#endif
