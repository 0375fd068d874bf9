// SPDX-License-Identifier: MIT
// AE_HOT marks the functions on the path of the queries a host makes every frame it
// draws (the spectrum above all). The compiler gathers them in one section, so a
// query that finds the caches cold, as a host's once-a-frame call does, touches a
// page or two of code instead of one per function.
#pragma once

#if defined(__GNUC__)
#define AE_HOT __attribute__((hot))
#else
#define AE_HOT
#endif
