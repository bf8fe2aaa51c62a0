// The property lists that put a DVB front end on a multiplex (FE_SET_PROPERTY), built apart from
// any device so that they can be checked as they are.
#pragma once

#include <linux/dvb/frontend.h>

#include <cstdint>
#include <string>
#include <vector>

// The centre frequency in Hz of an ATSC physical channel (the North American plan, 2..69);
// 0 for a channel the plan does not have.
uint32_t AtscChannelFrequencyHz(int physicalChannel);

// DVB-T (or DVB-T2 for a front end that has only that): frequency in kHz, bandwidth in MHz
// (5, 6, 7, 8 or 10; 1.7 MHz is not offered by the tuning model; 0 leaves it to a front end that
// can find it, FE_CAN_BANDWIDTH_AUTO). Everything the broadcast
// signals itself (modulation, code rates, guard interval, mode) is left to the front end.
// Empty with `error` set for values no front end can take.
std::vector<dtv_property> DvbtTuneProperties(fe_delivery_system system, long frequencyKHz, long bandwidthMHz,
                                             std::string& error);
// The bandwidth to tune a multiplex at whose bandwidth nobody gave: 0 (found by the front end)
// for a front end with FE_CAN_BANDWIDTH_AUTO in `caps`, else 8 MHz.
long DvbtBandwidthWhenNotGiven(uint32_t caps);
// ATSC 8VSB on a physical channel.
std::vector<dtv_property> AtscTuneProperties(long physicalChannel, std::string& error);

// The delivery system used for DVB-T on a front end offering `systems`, SYS_UNDEFINED when none fits.
fe_delivery_system DvbtSystemFor(const std::vector<fe_delivery_system>& systems);
const char* DeliverySystemName(fe_delivery_system system);
