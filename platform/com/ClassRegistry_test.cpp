#include "platform/com/ClassRegistry.h"

#include <gtest/gtest.h>

namespace {

// {5B7A0C11-4E2D-4F35-8B1E-2C6D9A0F7E01}
constexpr IID IID_ICounter = {0x5B7A0C11, 0x4E2D, 0x4F35, {0x8B, 0x1E, 0x2C, 0x6D, 0x9A, 0x0F, 0x7E, 0x01}};
// {5B7A0C12-4E2D-4F35-8B1E-2C6D9A0F7E01}
constexpr CLSID CLSID_Counter = {
    0x5B7A0C12, 0x4E2D, 0x4F35, {0x8B, 0x1E, 0x2C, 0x6D, 0x9A, 0x0F, 0x7E, 0x01}};
// {5B7A0C13-4E2D-4F35-8B1E-2C6D9A0F7E01}
constexpr CLSID CLSID_Other = {0x5B7A0C13, 0x4E2D, 0x4F35, {0x8B, 0x1E, 0x2C, 0x6D, 0x9A, 0x0F, 0x7E, 0x01}};
// {5B7A0C14-4E2D-4F35-8B1E-2C6D9A0F7E01}
constexpr CLSID CLSID_Missing = {
    0x5B7A0C14, 0x4E2D, 0x4F35, {0x8B, 0x1E, 0x2C, 0x6D, 0x9A, 0x0F, 0x7E, 0x01}};

struct ICounter : IUnknown {
    COM_INTERFACE(ICounter, IUnknown)
    virtual int value() = 0;
};
int g_live = 0;
class Counter : public ComObject<ICounter> {
public:
    Counter() { ++g_live; }
    ~Counter() override { --g_live; }
    int value() override { return 7; }
};
// A creator that claims success without an object: a broken class must not crash callers.
HRESULT brokenCreate(REFIID, void**) {
    return S_OK;
}

const ClassEntry kTestClasses[] = {
    {CLSID_Counter, "Counter", &CreateClassObject<Counter>},
    {CLSID_Other, "Broken", &brokenCreate},
};

class ClassRegistryTest : public ::testing::Test {
protected:
    void SetUp() override { ClassRegistry::instance().registerClasses(kTestClasses); }
    void TearDown() override { ClassRegistry::instance().clearFailures(); }
};

TEST_F(ClassRegistryTest, CreatesRegisteredClassesAndRefusesOthersWithThePlatformCodes) {
    ComPtr<ICounter> c;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_ICounter,
                                     reinterpret_cast<void**>(&c)));
    EXPECT_EQ(7, c->value());
    EXPECT_EQ(1, g_live);
    c = nullptr;
    EXPECT_EQ(0, g_live);

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_Missing, nullptr, CLSCTX_ALL, IID_IUnknown, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_FALSE(ClassRegistry::instance().isRegistered(CLSID_Missing));
    // The class exists but not the interface: the object made for the query is not leaked.
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, CLSID_Missing, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(0, g_live);
    EXPECT_EQ(E_POINTER, CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, IID_ICounter, nullptr));
    ComPtr<IUnknown> outer;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, IID_IUnknown,
                                     reinterpret_cast<void**>(&outer)));
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              CoCreateInstance(CLSID_Counter, outer.Get(), CLSCTX_ALL, IID_IUnknown, &p));
    EXPECT_EQ(E_UNEXPECTED, CoCreateInstance(CLSID_Other, nullptr, CLSCTX_ALL, IID_IUnknown, &p));
}

TEST_F(ClassRegistryTest, AFailedClassFailsWithItsCodeUntilClearedAndOthersAreUntouched) {
    void* p = nullptr;
    {
        ScopedClassFailure failure(CLSID_Counter, E_OUTOFMEMORY);
        EXPECT_EQ(E_OUTOFMEMORY, CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, IID_ICounter, &p));
        EXPECT_EQ(nullptr, p);
        EXPECT_EQ(0, g_live);
        // A failure hook on an unregistered class does not make the class exist.
        ScopedClassFailure missing(CLSID_Missing, E_ACCESSDENIED);
        EXPECT_EQ(REGDB_E_CLASSNOTREG,
                  CoCreateInstance(CLSID_Missing, nullptr, CLSCTX_ALL, IID_IUnknown, &p));
        // A success code cannot be injected: the hook always fails.
        ClassRegistry::instance().failCreation(CLSID_Other, S_FALSE);
        EXPECT_EQ(E_FAIL, CoCreateInstance(CLSID_Other, nullptr, CLSCTX_ALL, IID_IUnknown, &p));
    }
    ComPtr<ICounter> c;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_ALL, IID_ICounter,
                                     reinterpret_cast<void**>(&c)));
}

TEST_F(ClassRegistryTest, RegisteringATableTwiceKeepsOneEntryPerClass) {
    size_t before = ClassRegistry::instance().classes().size();
    ClassRegistry::instance().registerClasses(kTestClasses);
    EXPECT_EQ(before, ClassRegistry::instance().classes().size());
    bool listed = false;
    for (const ClassEntry& e : ClassRegistry::instance().classes())
        if (e.clsid == CLSID_Counter) listed = std::string(e.name) == "Counter";
    EXPECT_TRUE(listed);
}

}  // namespace
