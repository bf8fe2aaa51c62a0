// Names one registered device: binds to its property bag or makes its filter.
#pragma once

#include "platform/devenum/DevEnum.h"
#include "platform/devenum/DeviceRegistry.h"

class DeviceMoniker : public ComObject<IMoniker> {
public:
    explicit DeviceMoniker(DeviceRecord record) : m_record(std::move(record)) {}

    HRESULT BindToObject(IUnknown* bindCtx, IMoniker* left, REFIID riid, void** ppv) override;
    HRESULT BindToStorage(IUnknown* bindCtx, IMoniker* left, REFIID riid, void** ppv) override;
    HRESULT GetDisplayName(IUnknown* bindCtx, IMoniker* left, BSTR* name) override;

private:
    DeviceRecord m_record;
};
