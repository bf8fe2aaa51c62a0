// The device enumerator's class for CoCreateInstance.
#pragma once

// Registers CLSID_SystemDeviceEnum. Idempotent.
void RegisterDevEnumClasses();
