// SPDX-License-Identifier: MIT
#ifndef TVKPLCCONFIG_GLOBAL_H
#define TVKPLCCONFIG_GLOBAL_H

#include "tvkbase_global.h"

// Marks what libtvk_plcconfig exports; everything else stays hidden.
#if defined(TVK_BUILD_PLCCONFIG)
#define TVK_PLCCONFIG_EXPORT TVK_DECL_EXPORT
#else
#define TVK_PLCCONFIG_EXPORT TVK_DECL_IMPORT
#endif

#endif
