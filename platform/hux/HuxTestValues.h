// Building variant arguments in tests and benchmarks.
#pragma once

#include <vector>

#include "platform/com/Variant.h"

// An array of variants holding copies of the given values.
inline CComVariant variantArray(const std::vector<CComVariant>& items) {
    CComVariant v;
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(items.size()));
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i)
        SafeArrayPutElement(v.parray, &i, static_cast<const VARIANT*>(&items[i]));
    return v;
}
