// SPDX-License-Identifier: MIT
#ifndef TVKFIELDLINK_GLOBAL_H
#define TVKFIELDLINK_GLOBAL_H

#include "tvkbase_global.h"

// Marks what libtvk_fieldlink exports; everything else stays hidden.
#if defined(TVK_BUILD_FIELDLINK)
#define TVK_FIELDLINK_EXPORT TVK_DECL_EXPORT
#else
#define TVK_FIELDLINK_EXPORT TVK_DECL_IMPORT
#endif

#endif
