// The graph layer's classes for CoCreateInstance.
#pragma once

// Registers CLSID_FilterGraph, CLSID_CaptureGraphBuilder2, CLSID_NullRenderer,
// CLSID_MediaFileSource and CLSID_AVDecoderFilter. Idempotent.
void RegisterGraphClasses();
