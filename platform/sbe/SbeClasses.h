// The stream buffer's classes for CoCreateInstance.
#pragma once

// Registers CLSID_StreamBufferConfig, CLSID_StreamBufferSource and CLSID_MSVidStreamBufferSink.
// Idempotent.
void RegisterSbeClasses();
