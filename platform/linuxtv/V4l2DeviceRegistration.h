// The analog TV cards of this machine in the device enumerator, as the air's analog cards are:
// each card's tuner under KSCATEGORY_TVTUNER and its (software) MPEG encoder under
// KSCATEGORY_ENCODER, with device paths that differ only in the category after the last '#', so
// that the TV control's device rules find the encoder of the tuner's card.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/devenum/DeviceRegistry.h"
#include "platform/linuxtv/V4l2TunerFilter.h"

// The card part of the device path of the capture device `node` (/dev/videoN) below `root`,
// without the trailing "#category": from sysfs the card's bus identity (PCI vendor and device,
// USB vendor and product) as the platform's device paths give it, else the driver's bus name.
std::wstring V4l2CardPath(const std::string& root, const V4l2Device& device);

class V4l2DeviceRegistration {
public:
    // Registers the tuner and the encoder of each card, in the order given.
    V4l2DeviceRegistration(const std::string& root, const std::vector<V4l2Device>& devices);
    size_t cards() const { return cards_.size(); }
    const std::vector<std::shared_ptr<V4l2Card>>& cardList() const { return cards_; }

private:
    std::vector<std::shared_ptr<V4l2Card>> cards_;
    std::vector<std::unique_ptr<ScopedDeviceRegistration>> registrations_;
};
