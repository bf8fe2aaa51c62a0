// The host's codec names by index; a plug-in describes its streams with these texts.
#pragma once

namespace pelmo::streamer {

// Null for an index outside the table.
const char* videoCodecName(int index);
const char* audioCodecName(int index);

// The index of a name, or -1 when the host does not know it.
int videoCodecIndex(const char* name);
int audioCodecIndex(const char* name);

}  // namespace pelmo::streamer
