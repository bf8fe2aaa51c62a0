// The tuning model's classes for CoCreateInstance.
#pragma once

// Registers CLSID_SystemTuningSpaces, CLSID_DVBTLocator and CLSID_ATSCLocator. Idempotent.
void RegisterBdaClasses();
