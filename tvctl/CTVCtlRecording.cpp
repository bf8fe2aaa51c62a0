// Content recordings of the time-shift sink: one at a time per TV control object.
#include <unistd.h>

#include "base/Log.h"
#include "platform/sbe/SbePath.h"
#include "tvctl/CTVCtl.h"

HRESULT CTVCtl::CreateRecording(std::wstring fileName) {
    info(L"CTVCtl::CreateRecording %s", fileName.c_str());
    if (CheckReleased(false) == 0) {
        info(L"recorder is busy");
        return 1;
    }
    if (!m_sink) {
        error(L"can't find MSVidStreamBufferSink interface");
        return 1;
    }
    std::string path = SbeFilePath(fileName);
    if (::access(path.c_str(), F_OK) == 0) ::unlink(path.c_str());
    m_recorder = nullptr;
    CComBSTR name(fileName.c_str());
    HRESULT hr = m_sink->get_ContentRecorder(name.m_str, &m_recorder);
    if (FAILED(hr) || !m_recorder) {
        m_recorder = nullptr;
        if (SUCCEEDED(hr)) hr = E_FAIL;
        error(L"get_ContentRecorder failed %X", hr);
        return hr;
    }
    hr = m_recorder->put_StartTime(0);
    if (FAILED(hr)) {
        m_recorder->put_StopTime(0);
        m_recorder = nullptr;
        info(L"can't set start time restarting %X", hr);
    }
    return hr;
}

int32_t CTVCtl::CheckReleased(bool force) {
    if (!m_recorder) return 1;
    try {
        VARIANT_BOOL stopped = VARIANT_FALSE;
        HRESULT hr = m_recorder->get_RecordingStopped(&stopped);
        if (SUCCEEDED(hr) && !stopped && !force) return 0;
        if (FAILED(hr) || !stopped) m_recorder->put_StopTime(0);
        m_recorder = nullptr;
    } catch (...) {
        error(L"exception in CheckReleased Recording");
        m_recorder = nullptr;
    }
    return 1;
}
