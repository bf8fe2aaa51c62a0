// The media types that name a kind of tuning; compared exactly, case-sensitively.
#pragma once

inline constexpr const wchar_t* kMediaTypeAnalog = L"tv.channel.analog";
inline constexpr const wchar_t* kMediaTypeDvbt = L"tv.channel.dvbt";
inline constexpr const wchar_t* kMediaTypeAtsc = L"tv.channel.atsc";
// Recognised only to be refused.
inline constexpr const wchar_t* kMediaTypeWebcam = L"tv.webcam";
