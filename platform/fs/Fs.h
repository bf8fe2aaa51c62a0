// File-system places of the platform: the machine-wide application-data folder and the name of
// the running executable. Paths are narrow (UTF-8) with '/' separators.
#pragma once

#include <string>

// The application-data folder: $PELMO_APPDATA, or /var/lib/pelmo when that is unset or empty.
// It is created (with its parents) when missing. False when it cannot be created or is not a
// folder; `folder` is then left alone.
bool GetAppDataFolder(std::string& folder);

// Creates a folder and its parents; true when it exists afterwards.
bool CreateFolders(const std::string& path);

// Name of the running executable's file (from /proc/self/exe), cut at its first '.';
// "unknown" when the link cannot be read.
std::string GetExecutableBaseName();

// Joins two path pieces with exactly one '/'.
std::string JoinPath(const std::string& folder, const std::string& name);
