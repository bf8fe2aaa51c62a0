// The stream buffer's configuration object: takes the settings key and the event namespace.
// The buffer's size settings themselves are read by the sink from the same key.
#pragma once

#include <string>

#include "platform/sbe/BufferSettings.h"
#include "platform/sbe/SbeInterfaces.h"

class StreamBufferConfig : public ComObject<IStreamBufferInitialize, IStreamBufferConfigure3> {
public:
    HRESULT SetHKEY(HKEY key) override;
    HRESULT SetNamespace(LPWSTR ns) override;

    const BufferSettings& Settings() const { return m_settings; }
    bool HasKey() const { return m_hasKey; }
    const std::wstring& Namespace() const { return m_namespace; }

private:
    BufferSettings m_settings;
    bool m_hasKey = false;
    std::wstring m_namespace;
};
