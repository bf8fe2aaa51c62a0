// A host may end its process while the module is loaded and its platform is on the message bus:
// no thread of the module may be left running through exit, where a leak checker (or anything
// else that stops the world at exit) would find it half torn down.
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "host/InputPluginInterface.h"
#include "host/SimpleMedium.h"
#include "platform/hux/HuxTestBroker.h"
#include "plugin/ScratchFolder.h"

using namespace pelmo::streamer;

namespace {

// The names of the process's threads now.
std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return names;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    closedir(tasks);
    return names;
}

bool hasThread(const std::string& name) {
    for (const std::string& n : threadNames())
        if (n == name) return true;
    return false;
}

// The threads of the module's bus client: its dispatcher and the MQTT library's network thread.
// (A sanitizer's own threads, which may come and go in a forked child, are not counted.)
bool isBusThread(const std::string& name) {
    return name == "mosquitto loop" || name == "hux dispatch";
}

// Registered before the module is loaded, so it runs after every exit handler of the module.
void reportThreadsAtExit() {
    std::string left;
    for (const std::string& n : threadNames())
        if (isBusThread(n)) left += " '" + n + "'";
    if (left.empty()) _exit(0);
    fprintf(stderr, "threads left running through exit:%s\n", left.c_str());
    _exit(3);
}

// The child: loads the module, opens a channel (which opens the platform and puts its set-top
// box on the bus), waits until the bus client's threads run, lets go of the plug-in
// object and ends the process the ordinary way.
void openChannelAndExit(int port, const std::string& appData) {
    std::atexit(reportThreadsAtExit);
    setenv("PELMO_BUS_PORT", std::to_string(port).c_str(), 1);
    setenv("PELMO_APPDATA", appData.c_str(), 1);
    setenv("PELMO_BROADCAST", SKYVANE_BROADCAST, 0);
    setenv("PELMO_AIR_SPEED", "4", 1);
    void* module = dlopen(SKYVANE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        fprintf(stderr, "%s\n", dlerror());
        _exit(4);
    }
    auto factory = reinterpret_cast<InputPluginFactoryFunction>(dlsym(module, "InputPluginFactory"));
    InputPluginInterface* plugin = factory ? factory() : nullptr;
    if (!plugin) _exit(5);
    SimpleMedium medium("device://tv.channel.dvbt/#/474000/8/8916/4100/4164");
    SimpleErrorReport report;
    if (!plugin->open(medium, report)) {
        fprintf(stderr, "open failed: %s\n", report.getMessage().c_str());
        _exit(6);
    }
    // The set-top box joins the bus in the background; without it the check proves nothing.
    auto onTheBus = [] { return hasThread("mosquitto loop") && hasThread("hux dispatch"); };
    for (int i = 0; i < 600 && !onTheBus(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!onTheBus()) {
        fprintf(stderr, "the set-top box never joined the bus on port %d\n", port);
        _exit(7);
    }
    plugin->close();
    delete plugin;
    exit(0);
}

}  // namespace

TEST(ModuleAtExit, NoThreadOfTheModuleRunsThroughExit) {
    HuxTestBroker broker;
    std::string why;
    if (!broker.start(why)) GTEST_SKIP() << "no broker: " << why;
    ScratchFolder scratch("skyvane_exit_test");
    // Forked before this process has any thread of its own: the child starts clean.
    EXPECT_EXIT(openChannelAndExit(broker.port(), scratch.get()), ::testing::ExitedWithCode(0), "");
}
