// The system device enumerator: one moniker enumerator per device category.
#pragma once

#include "platform/devenum/DevEnum.h"

class SystemDeviceEnum : public ComObject<ICreateDevEnum> {
public:
    HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** out, DWORD flags) override;
};
