// The table scan of one tuned frequency: the steps of ChannelScan::scanFrequency, shared with
// the channel tool, which reads a recording instead of a tuner.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/com/Unknown.h"
#include "scan/Mpeg2DataParser.h"

// Reads the tables of the multiplex with one parser (scan type by media type: 1 ATSC, 2 DVB-T,
// 0 anything else) and appends its channel entries, named with `frequency`, to list. The
// parser subscribes to the guide-data source's notices (when there is one), `retune` tunes
// the frequency again (when given), and the scan thread is started and waited for. The
// parser's hooks, when given, are set before anything runs. Always 0.
HRESULT ScanTunedFrequency(const std::wstring& mediaType, int32_t networkNumber, int32_t frequency,
                           IUnknown* sectionSource, IUnknown* guideDataSource,
                           const std::function<void()>& retune, std::vector<std::wstring>& list,
                           const Mpeg2DataParser::Hooks* hooks = nullptr);
