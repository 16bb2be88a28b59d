// SPDX-License-Identifier: MIT
#ifndef TVKBOUNDEDIT_GLOBAL_H
#define TVKBOUNDEDIT_GLOBAL_H

#include "tvkbase_global.h"

// Marks what libtvk_boundedit exports; everything else stays hidden.
#if defined(TVK_BUILD_BOUNDEDIT)
#define TVK_BOUNDEDIT_EXPORT TVK_DECL_EXPORT
#else
#define TVK_BOUNDEDIT_EXPORT TVK_DECL_IMPORT
#endif

#endif
