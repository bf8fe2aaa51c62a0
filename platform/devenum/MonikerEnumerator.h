// Walks a snapshot of one category's devices, taken when the enumerator was made.
#pragma once

#include <vector>

#include "platform/devenum/DevEnum.h"
#include "platform/devenum/DeviceRegistry.h"

class MonikerEnumerator : public ComObject<IEnumMoniker> {
public:
    explicit MonikerEnumerator(std::vector<DeviceRecord> devices, size_t position = 0)
        : m_devices(std::move(devices)), m_position(position) {}

    HRESULT Next(ULONG celt, IMoniker** out, ULONG* fetched) override;
    HRESULT Skip(ULONG celt) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumMoniker** out) override;

private:
    std::vector<DeviceRecord> m_devices;
    size_t m_position;
};
