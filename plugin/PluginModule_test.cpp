// Loads the built module the way a host does and drives the object it makes.
#include <dlfcn.h>
#include <elf.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/InputPluginInterface.h"
#include "host/SimpleMedium.h"
#include "plugin/ScratchFolder.h"
#include "plugin/SampleGrabberCallBack.h"

using namespace pelmo::streamer;

namespace {

// Names of the symbols the module defines in its dynamic symbol table.
std::set<std::string> exportedSymbols(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::set<std::string> names;
    if (file.size() < sizeof(Elf64_Ehdr)) return names;
    const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(file.data());
    if (eh->e_shoff == 0 || eh->e_shoff + uint64_t{eh->e_shnum} * sizeof(Elf64_Shdr) > file.size())
        return names;
    const auto* sh = reinterpret_cast<const Elf64_Shdr*>(file.data() + eh->e_shoff);
    for (int i = 0; i < eh->e_shnum; ++i) {
        if (sh[i].sh_type != SHT_DYNSYM || sh[i].sh_link >= eh->e_shnum) continue;
        const Elf64_Shdr& strings = sh[sh[i].sh_link];
        if (sh[i].sh_offset + sh[i].sh_size > file.size() ||
            strings.sh_offset + strings.sh_size > file.size()) {
            continue;
        }
        const auto* sym = reinterpret_cast<const Elf64_Sym*>(file.data() + sh[i].sh_offset);
        for (size_t k = 0; k < sh[i].sh_size / sizeof(Elf64_Sym); ++k) {
            if (sym[k].st_shndx == SHN_UNDEF || sym[k].st_name >= strings.sh_size) continue;
            const int bind = ELF64_ST_BIND(sym[k].st_info);
            if (bind != STB_GLOBAL && bind != STB_WEAK) continue;
            names.insert(file.data() + strings.sh_offset + sym[k].st_name);
        }
    }
    return names;
}

class PluginModule : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch = std::make_unique<ScratchFolder>("skyvane_module_test");
        ASSERT_FALSE(scratch->get().empty());
    }
    static void TearDownTestSuite() { scratch.reset(); }
    static inline std::unique_ptr<ScratchFolder> scratch;

    void SetUp() override {
        module = dlopen(SKYVANE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, module) << dlerror();
        factory = reinterpret_cast<InputPluginFactoryFunction>(dlsym(module, "InputPluginFactory"));
        ASSERT_NE(nullptr, factory);
    }

    void TearDown() override {
        if (module != nullptr) dlclose(module);
    }

    void* module = nullptr;
    InputPluginFactoryFunction factory = nullptr;
};

}  // namespace

TEST_F(PluginModule, ExportsTheFactoryAndNothingElse) {
    EXPECT_EQ(std::set<std::string>{"InputPluginFactory"}, exportedSymbols(SKYVANE_MODULE_PATH));
    EXPECT_EQ(nullptr, dlsym(module, "_ZN13SkyvanePlugin5startEv"));
}

// The queue's rules are tested on the object itself; here only that the module's one object
// is both the host's plug-in and the grabbers' callback, across the module boundary.
TEST_F(PluginModule, HostDrivesTheObjectAndGetsSamplesBackInOrder) {
    InputPluginInterface* plugin = factory();
    ASSERT_NE(nullptr, plugin);
    auto* grabbers = dynamic_cast<SampleGrabberCallBack*>(plugin);
    ASSERT_NE(nullptr, grabbers);
    for (int i = 0; i < 6; ++i) {
        REFERENCE_TIME start = i * 400000LL;
        REFERENCE_TIME end = start + 400000;
        auto* data = static_cast<BYTE*>(std::calloc(188, 1));
        data[0] = static_cast<BYTE>(i);
        EXPECT_EQ(0, grabbers->sampleCallBack(data, 188, 0, &start, &end, 0, i == 0, i % 2));
    }

    // Nothing to tune here, yet start marks delivery on: the queued samples come out.
    EXPECT_FALSE(plugin->start());
    for (int i = 0; i < 6; ++i) {
        int type = -9, size = 0;
        uint8_t* data = nullptr;
        int64_t timestamp = 0, duration = 0;
        SamplePacket* packet = nullptr;
        bool sync = false;
        ASSERT_TRUE(plugin->readFrame(type, data, size, timestamp, duration, packet, sync));
        ASSERT_NE(nullptr, packet);
        EXPECT_EQ(i % 2, type);
        EXPECT_EQ(i, data[0]);
        EXPECT_EQ(i * 40000LL, timestamp);
        plugin->releaseFrame(0, packet);
    }
    EXPECT_TRUE(plugin->close());
    delete plugin;
}

TEST_F(PluginModule, OpenWithoutATunerFailsWithTheFixedText) {
    InputPluginInterface* plugin = factory();
    ASSERT_NE(nullptr, plugin);
    SimpleMedium medium("device://tv.channel.dvbt/#/474000/8/9018/4100/4164");
    SimpleErrorReport report;
    EXPECT_FALSE(plugin->open(medium, report));
    EXPECT_EQ(-1, report.getCode());
    EXPECT_EQ("TV Control input: This device is in use or not supported", report.getMessage());

    SimpleMedium webcam("tuner://tv.webcam/#/cam0");
    SimpleErrorReport second;
    EXPECT_FALSE(plugin->open(webcam, second));
    EXPECT_EQ(-1, second.getCode());
    EXPECT_TRUE(plugin->close());
    delete plugin;
}
