// SPDX-License-Identifier: MIT
/* The cheapest exported C call: the baseline of the plug-in's query exports. */
__attribute__((visibility("default"))) void EmptyExport(void) {}
