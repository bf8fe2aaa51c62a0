// Creates the graph layer's objects by class id: CLSID_FilterGraph, CLSID_CaptureGraphBuilder2,
// CLSID_NullRenderer, CLSID_MediaFileSource, CLSID_AVDecoderFilter. REGDB_E_CLASSNOTREG for
// any other class.
#pragma once

#include "platform/graph/GraphInterfaces.h"

HRESULT CreateGraphObject(REFCLSID clsid, REFIID riid, void** ppv);
