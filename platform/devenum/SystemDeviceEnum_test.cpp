#include "platform/devenum/SystemDeviceEnum.h"

#include <gtest/gtest.h>

#include "platform/com/ClassRegistry.h"
#include "platform/devenum/DevEnumClasses.h"
#include "platform/devenum/DeviceRegistry.h"

namespace {

// {0E5D8A35-8D1B-4C43-9E0E-6A4B4C0F2A11}: a stand-in "filter" interface for binding.
constexpr IID IID_ITestDevice = {
    0x0E5D8A35, 0x8D1B, 0x4C43, {0x9E, 0x0E, 0x6A, 0x4B, 0x4C, 0x0F, 0x2A, 0x11}};
struct ITestDevice : IUnknown {
    COM_INTERFACE(ITestDevice, IUnknown)
    virtual int id() = 0;
};
class TestDevice : public ComObject<ITestDevice> {
public:
    explicit TestDevice(int id) : m_id(id) {}
    int id() override { return m_id; }

private:
    int m_id;
};

DeviceFactory factoryFor(int id) {
    return [id](REFIID riid, void** ppv) {
        ComPtr<TestDevice> d;
        d.Attach(CreateComObject<TestDevice>(id));
        return d->QueryInterface(riid, ppv);
    };
}

std::vector<ComPtr<IMoniker>> listCategory(REFGUID category, HRESULT* result) {
    RegisterDevEnumClasses();
    ComPtr<ICreateDevEnum> devEnum;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ICreateDevEnum, reinterpret_cast<void**>(&devEnum)));
    ComPtr<IEnumMoniker> monikers;
    *result = devEnum->CreateClassEnumerator(category, &monikers, 0);
    std::vector<ComPtr<IMoniker>> out;
    if (*result != S_OK) return out;
    ComPtr<IMoniker> m;
    while (monikers->Next(1, &m, nullptr) == S_OK) out.push_back(m);
    return out;
}

std::wstring readProperty(IMoniker* m, const wchar_t* name, HRESULT* result) {
    ComPtr<IPropertyBag> bag;
    EXPECT_EQ(S_OK, m->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)));
    CComVariant v;
    *result = bag->Read(name, &v, nullptr);
    return v.vt == VT_BSTR ? std::wstring(v.bstrVal) : std::wstring();
}

class SystemDeviceEnumTest : public ::testing::Test {
protected:
    void SetUp() override { RegisterDevEnumClasses(); }
    void TearDown() override { DeviceRegistry::instance().clear(); }
};

TEST_F(SystemDeviceEnumTest, ListsOnlyTheAskedCategoryInRegistrationOrder) {
    ScopedDeviceRegistration a({KSCATEGORY_BDA_NETWORK_TUNER, L"Tuner A", L"air://tuner/0", factoryFor(1)});
    ScopedDeviceRegistration enc({KSCATEGORY_ENCODER, L"Encoder", L"air://encoder/0", factoryFor(9)});
    ScopedDeviceRegistration b({KSCATEGORY_BDA_NETWORK_TUNER, L"Tuner B", L"", factoryFor(2)});

    HRESULT hr;
    auto tuners = listCategory(KSCATEGORY_BDA_NETWORK_TUNER, &hr);
    ASSERT_EQ(S_OK, hr);
    ASSERT_EQ(2u, tuners.size());
    EXPECT_EQ(L"Tuner A", readProperty(tuners[0].Get(), L"FriendlyName", &hr));
    EXPECT_EQ(L"air://tuner/0", readProperty(tuners[0].Get(), L"DevicePath", &hr));
    EXPECT_EQ(L"Tuner B", readProperty(tuners[1].Get(), L"FriendlyName", &hr));
    // A device registered without a path has no "DevicePath" at all.
    readProperty(tuners[1].Get(), L"DevicePath", &hr);
    EXPECT_TRUE(FAILED(hr));
    readProperty(tuners[0].Get(), L"CLSID", &hr);
    EXPECT_TRUE(FAILED(hr));

    ComPtr<ITestDevice> dev;
    ASSERT_EQ(S_OK,
              tuners[1]->BindToObject(nullptr, nullptr, IID_ITestDevice, reinterpret_cast<void**>(&dev)));
    EXPECT_EQ(2, dev->id());
}

TEST_F(SystemDeviceEnumTest, EmptyCategoryAnswersSFalseWithoutEnumerator) {
    ComPtr<ICreateDevEnum> devEnum;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ICreateDevEnum, reinterpret_cast<void**>(&devEnum)));
    ComPtr<IEnumMoniker> monikers;
    EXPECT_EQ(S_FALSE, devEnum->CreateClassEnumerator(AM_KSCATEGORY_CROSSBAR, &monikers, 0));
    EXPECT_FALSE(monikers);
    EXPECT_EQ(E_POINTER, devEnum->CreateClassEnumerator(AM_KSCATEGORY_CROSSBAR, nullptr, 0));
}

TEST_F(SystemDeviceEnumTest, UnregisteredDeviceDisappearsButOpenEnumeratorKeepsItsSnapshot) {
    auto reg = std::make_unique<ScopedDeviceRegistration>(
        DeviceRecord{KSCATEGORY_TVTUNER, L"Analog", L"air://analog/0", factoryFor(5)});
    ComPtr<ICreateDevEnum> devEnum;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ICreateDevEnum, reinterpret_cast<void**>(&devEnum)));
    ComPtr<IEnumMoniker> monikers;
    ASSERT_EQ(S_OK, devEnum->CreateClassEnumerator(KSCATEGORY_TVTUNER, &monikers, 0));
    DWORD cookie = reg->cookie();
    reg.reset();
    EXPECT_FALSE(DeviceRegistry::instance().unregisterDevice(cookie));

    ComPtr<IMoniker> m;
    EXPECT_EQ(S_OK, monikers->Next(1, &m, nullptr));
    EXPECT_EQ(S_FALSE, monikers->Next(1, &m, nullptr));
    EXPECT_EQ(S_OK, monikers->Reset());
    EXPECT_EQ(S_OK, monikers->Next(1, &m, nullptr));

    HRESULT hr;
    EXPECT_TRUE(listCategory(KSCATEGORY_TVTUNER, &hr).empty());
    EXPECT_EQ(S_FALSE, hr);
}

TEST_F(SystemDeviceEnumTest, NextCountsSkipAndCloneFollowThePosition) {
    ScopedDeviceRegistration a({KSCATEGORY_MULTIPLEXER, L"M0", L"p0", nullptr});
    ScopedDeviceRegistration b({KSCATEGORY_MULTIPLEXER, L"M1", L"p1", nullptr});
    ScopedDeviceRegistration c({KSCATEGORY_MULTIPLEXER, L"M2", L"p2", nullptr});
    ComPtr<ICreateDevEnum> devEnum;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ICreateDevEnum, reinterpret_cast<void**>(&devEnum)));
    ComPtr<IEnumMoniker> monikers;
    ASSERT_EQ(S_OK, devEnum->CreateClassEnumerator(KSCATEGORY_MULTIPLEXER, &monikers, 0));

    EXPECT_EQ(S_OK, monikers->Skip(1));
    ComPtr<IEnumMoniker> clone;
    ASSERT_EQ(S_OK, monikers->Clone(&clone));
    IMoniker* batch[4] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, clone->Next(4, batch, &fetched));
    ASSERT_EQ(2u, fetched);
    HRESULT hr;
    EXPECT_EQ(L"M1", readProperty(batch[0], L"FriendlyName", &hr));
    EXPECT_EQ(L"M2", readProperty(batch[1], L"FriendlyName", &hr));
    for (ULONG i = 0; i < fetched; ++i) batch[i]->Release();
    EXPECT_EQ(S_FALSE, monikers->Skip(5));

    // A device without a factory cannot be bound, and says so.
    ASSERT_EQ(S_OK, monikers->Reset());
    ComPtr<IMoniker> m;
    ASSERT_EQ(S_OK, monikers->Next(1, &m, nullptr));
    void* obj = nullptr;
    EXPECT_EQ(E_NOTIMPL, m->BindToObject(nullptr, nullptr, IID_IUnknown, &obj));
    EXPECT_EQ(nullptr, obj);
    CComBSTR name;
    EXPECT_EQ(S_OK, m->GetDisplayName(nullptr, nullptr, &name));
    EXPECT_EQ(L"p0", name.str());
}

TEST_F(SystemDeviceEnumTest, PropertyBagRefusesAWrongVariantTypeAndWrites) {
    ScopedDeviceRegistration a({KSCATEGORY_ENCODER, L"Enc", L"path", nullptr});
    HRESULT hr;
    auto list = listCategory(KSCATEGORY_ENCODER, &hr);
    ASSERT_EQ(1u, list.size());
    ComPtr<IPropertyBag> bag;
    ASSERT_EQ(S_OK,
              list[0]->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)));
    CComVariant v(LONG(3));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, bag->Read(L"FriendlyName", &v, nullptr));
    EXPECT_EQ(E_POINTER, bag->Read(nullptr, &v, nullptr));
    CComVariant w(L"x");
    EXPECT_TRUE(FAILED(bag->Write(L"FriendlyName", &w)));
}

}  // namespace

namespace {
TEST(DevEnumClasses, TheEnumeratorIsCreatedByItsClassId) {
    RegisterDevEnumClasses();
    ComPtr<ICreateDevEnum> devEnum;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ICreateDevEnum, reinterpret_cast<void**>(&devEnum)));
    ComPtr<IEnumMoniker> monikers;
    EXPECT_EQ(S_FALSE, devEnum->CreateClassEnumerator(AM_KSCATEGORY_CROSSBAR, &monikers, 0));
    ScopedClassFailure failure(CLSID_SystemDeviceEnum, E_OUTOFMEMORY);
    EXPECT_EQ(E_OUTOFMEMORY, CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_ICreateDevEnum, reinterpret_cast<void**>(&devEnum)));
}
}  // namespace
