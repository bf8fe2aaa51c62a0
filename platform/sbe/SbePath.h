// Buffer and recording names as the TV control gives them, as file paths here: '\' becomes
// '/', and a name on a drive ("c:\SBErec1234.asf") goes under the application-data folder.
#pragma once

#include <string>

std::string SbeFilePath(const std::wstring& name);
