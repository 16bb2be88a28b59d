// SPDX-License-Identifier: MIT
#ifndef TVKBASE_GLOBAL_H
#define TVKBASE_GLOBAL_H

// Every library of the project builds with hidden symbols; what it exports is
// marked with its own macro, so a host sees only the intended interface.
#if defined(__GNUC__) || defined(__clang__)
#define TVK_DECL_EXPORT __attribute__((visibility("default")))
#define TVK_DECL_IMPORT __attribute__((visibility("default")))
#else
#define TVK_DECL_EXPORT
#define TVK_DECL_IMPORT
#endif

#if defined(TVK_BUILD_BASE)
#define TVK_BASE_EXPORT TVK_DECL_EXPORT
#else
#define TVK_BASE_EXPORT TVK_DECL_IMPORT
#endif

#endif
