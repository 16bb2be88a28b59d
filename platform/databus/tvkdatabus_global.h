// SPDX-License-Identifier: MIT
#ifndef TVKDATABUS_GLOBAL_H
#define TVKDATABUS_GLOBAL_H

#include "tvkbase_global.h"

// Marks what libtvk_databus exports; everything else stays hidden.
#if defined(TVK_BUILD_DATABUS)
#define TVK_DATABUS_EXPORT TVK_DECL_EXPORT
#else
#define TVK_DATABUS_EXPORT TVK_DECL_IMPORT
#endif

#endif
