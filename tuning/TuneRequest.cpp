#include "tuning/TuneRequest.h"

TuneRequest::TuneRequest(HuxSatellite* busClient) : busClient(busClient) {}
