// Where the reference host finds the plug-in module, the data that came with its build or
// installation, the settings and the logs, with nothing configured.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace pelmo::streamer {

struct HostPlaces {
    std::string module;      // the plug-in module to load
    std::string installDir;  // frequency files, device exceptions, demo broadcast; ends in '/'
    std::string registry;    // the settings folder in use ($PELMO_REGISTRY)
    std::string appData;     // the application-data folder in use ($PELMO_APPDATA)
    bool buildTree = false;  // running from a build folder rather than an installation
    std::string note;        // why the settings could not be completed, empty when they were

    std::string logFile() const { return appData + "/Kelvarin/Logs/Skyvane.log"; }
};

// Works out the places for an executable in exeDir: a build tree (<build>/tools/NAME/) or an
// installation (<prefix>/bin/). Settings and data folders the environment names are kept;
// unset ones get the defaults of that build or installation (per-user folders when not root).
HostPlaces findPlaces(const std::string& exeDir, bool root);

// Sets $PELMO_REGISTRY and $PELMO_APPDATA to the places' folders.
void exportPlaces(const HostPlaces& places);

// Adds the settings missing from the registry folder: "InstallDir" (also replaced when the
// folder it names is gone), "LogLevel", the tuner settings, "OutputRaw" and the stream buffer's.
// Values that are there are never changed. False with a reason when the folder is not writable.
bool fillRegistryDefaults(const std::string& registryFolder, const std::string& installDir,
                          std::string& error);

// A private copy of the registry folder with some values changed, for one run: the plug-in
// reads it through $PELMO_REGISTRY, the user's own settings stay as they are.
class RegistryOverlay {
public:
    ~RegistryOverlay();
    // dword values under HKEY_LOCAL_MACHINE\Software\Kelvarin\Pelmo\PelmoTV.
    bool create(const std::string& registryFolder, const std::map<std::string, uint32_t>& tvValues,
                std::string& error);
    const std::string& folder() const { return path; }

private:
    std::string path;
};

// The directory of the running executable.
std::string executableDir();

}  // namespace pelmo::streamer
