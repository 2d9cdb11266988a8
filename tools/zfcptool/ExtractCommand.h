#pragma once

#include <string>
#include <vector>

#include "LoomworkKit/ZFCProgress.h"

// zfcptool extract PACKAGE ROOT [INDEX [NAME]] [--overwrite]: `args` from PACKAGE on. Every
// plug-in into its category folder, or the one at INDEX into ROOT itself (an existing folder
// kept unless `overwrite`). Throws UsageError, Failure and what the reader throws.
void extractCommand(const std::vector<std::string>& args, bool overwrite, const ZFCProgressCallback& progress);
