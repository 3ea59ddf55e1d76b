// SPDX-License-Identifier: Apache-2.0
#pragma once

// Marks the library's API. The host and every plugin link the one shared
// library so that they share its registry; on Windows only what is marked is
// reachable from outside it, and users must import it rather than expect a
// copy of their own.
#if defined(_WIN32)
#if defined(DDImage_EXPORTS)
#define DDImage_API __declspec(dllexport)
#else
#define DDImage_API __declspec(dllimport)
#endif
#else
#define DDImage_API __attribute__((visibility("default")))
#endif
