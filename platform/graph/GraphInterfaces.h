// The media graph's interfaces, identifiers and status codes.
#pragma once

#include "platform/com/Bstr.h"
#include "platform/graph/MediaTypes.h"

constexpr HRESULT VFW_S_NO_MORE_ITEMS = 0x00040103;
constexpr HRESULT VFW_S_STATE_INTERMEDIATE = 0x00040237;
constexpr HRESULT VFW_S_NO_STOP_TIME = 0x00040270;
constexpr HRESULT VFW_E_INVALIDMEDIATYPE = MakeHResult(0x80040200u);
constexpr HRESULT VFW_E_ALREADY_CONNECTED = MakeHResult(0x80040204u);
constexpr HRESULT VFW_E_NO_ACCEPTABLE_TYPES = MakeHResult(0x80040207u);
constexpr HRESULT VFW_E_INVALID_DIRECTION = MakeHResult(0x80040208u);
constexpr HRESULT VFW_E_NOT_CONNECTED = MakeHResult(0x80040209u);
constexpr HRESULT VFW_E_NO_ALLOCATOR = MakeHResult(0x8004020Au);
constexpr HRESULT VFW_E_BUFFER_OVERFLOW = MakeHResult(0x8004020Du);
constexpr HRESULT VFW_E_NOT_COMMITTED = MakeHResult(0x80040211u);
constexpr HRESULT VFW_E_NOT_FOUND = MakeHResult(0x80040216u);
constexpr HRESULT VFW_E_CANNOT_CONNECT = MakeHResult(0x80040217u);
constexpr HRESULT VFW_E_CANNOT_RENDER = MakeHResult(0x80040218u);
constexpr HRESULT VFW_E_NOT_STOPPED = MakeHResult(0x80040224u);
constexpr HRESULT VFW_E_WRONG_STATE = MakeHResult(0x80040227u);
constexpr HRESULT VFW_E_TYPE_NOT_ACCEPTED = MakeHResult(0x80040248u);
constexpr HRESULT VFW_E_SAMPLE_TIME_NOT_SET = MakeHResult(0x80040249u);
constexpr HRESULT VFW_E_NOT_IN_GRAPH = MakeHResult(0x8004025Fu);
constexpr HRESULT VFW_E_DUPLICATE_NAME = MakeHResult(0x8004022Du);

GRAPH_GUID(IID_IPin, 0x56A86891, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(IID_IEnumPins, 0x56A86892, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(IID_IEnumFilters, 0x56A86893, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(IID_IBaseFilter, 0x56A86895, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(IID_IReferenceClock, 0x56A86897, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(IID_IMediaFilter, 0x56A86899, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(IID_IMediaSample, 0x56A8689A, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(IID_IMemAllocator, 0x56A8689C, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(IID_IMemInputPin, 0x56A8689D, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(IID_IFilterGraph, 0x56A8689F, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(IID_IFileSourceFilter, 0x56A868A6, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(IID_IGraphBuilder, 0x56A868A9, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(IID_IMediaControl, 0x56A868B1, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(IID_IMediaSeeking, 0x36B73880, 0xC2C8, 0x11CF, 0x8B, 0x46, 0x00, 0x80, 0x5F, 0x6C, 0xEF, 0x60);
GRAPH_GUID(IID_IEnumMediaTypes, 0x89C31040, 0x846B, 0x11CE, 0x97, 0xD3, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
GRAPH_GUID(IID_ICaptureGraphBuilder2, 0x93E5A4E0, 0x2D50, 0x11D2, 0xAB, 0xFA, 0x00, 0xA0, 0xC9, 0xC6, 0xE3,
           0x8D);
GRAPH_GUID(IID_IAMCrossbar, 0xC6E13380, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56);

GRAPH_GUID(CLSID_FilterGraph, 0xE436EBB3, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
GRAPH_GUID(CLSID_CaptureGraphBuilder2, 0xBF87B6E1, 0x8C27, 0x11D0, 0xB3, 0xF0, 0x00, 0xAA, 0x00, 0x37, 0x61,
           0xC5);
GRAPH_GUID(CLSID_NullRenderer, 0xC1F400A4, 0x3F08, 0x11D3, 0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37);
// The graph layer's own source over media files and its decoder.
GRAPH_GUID(CLSID_MediaFileSource, 0x8D3E5B71, 0x2C1A, 0x4F0E, 0x9B, 0x64, 0x3A, 0x7C, 0x1E, 0x5D, 0x9F, 0x20);
GRAPH_GUID(CLSID_AVDecoderFilter, 0x6C1E3A52, 0x7B0D, 0x4E9F, 0xA2, 0xC6, 0x58, 0xD4, 0xF0, 0x1B, 0x3E, 0x77);
GRAPH_GUID(TIME_FORMAT_MEDIA_TIME, 0x7B785574, 0x8C82, 0x11CF, 0xBC, 0x0C, 0x00, 0xAA, 0x00, 0xAC, 0x74,
           0xF6);

enum PIN_DIRECTION { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };
enum FILTER_STATE { State_Stopped = 0, State_Paused = 1, State_Running = 2 };
using OAFilterState = LONG;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr size_t MAX_FILTER_NAME = 128;
constexpr size_t MAX_PIN_NAME = 128;

struct IBaseFilter;
struct IFilterGraph;
struct IMediaSample;
struct IMemAllocator;

// pFilter / pGraph carry a reference that the caller releases.
struct PIN_INFO {
    IBaseFilter* pFilter;
    PIN_DIRECTION dir;
    wchar_t achName[MAX_PIN_NAME];
};
struct FILTER_INFO {
    wchar_t achName[MAX_FILTER_NAME];
    IFilterGraph* pGraph;
};

class ClockWaitToken;

// The time every filter of a graph renders against, in 100-ns units. Waits are cancellable so
// that stop, pause and flush never sit behind a sample that is not due yet.
struct IReferenceClock : IUnknown {
    COM_INTERFACE(IReferenceClock, IUnknown)
    virtual HRESULT GetTime(REFERENCE_TIME* time) = 0;
    // Blocks until the clock reads at least `time`: S_OK then, S_FALSE as soon as the token is
    // cancelled after it was armed (`armed` is what ClockWaitToken::Arm answered).
    virtual HRESULT WaitUntil(REFERENCE_TIME time, ClockWaitToken* token, uint64_t armed) = 0;
};

struct IEnumMediaTypes : IUnknown {
    COM_INTERFACE(IEnumMediaTypes, IUnknown)
    // Each record handed out is the caller's: free it with DeleteMediaType.
    virtual HRESULT Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumMediaTypes** out) = 0;
};

struct IPin : IUnknown {
    COM_INTERFACE(IPin, IUnknown)
    virtual HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) = 0;
    virtual HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) = 0;
    virtual HRESULT Disconnect() = 0;
    virtual HRESULT ConnectedTo(IPin** pin) = 0;
    virtual HRESULT ConnectionMediaType(AM_MEDIA_TYPE* mt) = 0;
    virtual HRESULT QueryPinInfo(PIN_INFO* info) = 0;
    virtual HRESULT QueryDirection(PIN_DIRECTION* dir) = 0;
    virtual HRESULT QueryAccept(const AM_MEDIA_TYPE* mt) = 0;
    virtual HRESULT EnumMediaTypes(IEnumMediaTypes** out) = 0;
    virtual HRESULT EndOfStream() = 0;
    virtual HRESULT BeginFlush() = 0;
    virtual HRESULT EndFlush() = 0;
    virtual HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) = 0;
};

struct IEnumPins : IUnknown {
    COM_INTERFACE(IEnumPins, IUnknown)
    virtual HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumPins** out) = 0;
};

struct IMediaFilter : IUnknown {
    COM_INTERFACE(IMediaFilter, IUnknown)
    virtual HRESULT GetClassID(CLSID* clsid) = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Run(REFERENCE_TIME start) = 0;
    virtual HRESULT GetState(DWORD timeoutMs, FILTER_STATE* state) = 0;
    // The graph hands every filter its clock; null means no clock: render as fast as possible.
    virtual HRESULT SetSyncSource(IReferenceClock* clock) = 0;
    virtual HRESULT GetSyncSource(IReferenceClock** clock) = 0;
};

struct IBaseFilter : IMediaFilter {
    COM_INTERFACE(IBaseFilter, IMediaFilter)
    virtual HRESULT EnumPins(IEnumPins** out) = 0;
    virtual HRESULT FindPin(LPCOLESTR id, IPin** pin) = 0;
    virtual HRESULT QueryFilterInfo(FILTER_INFO* info) = 0;
    // The graph calls this with itself on AddFilter and with null on RemoveFilter; the filter
    // keeps no reference on the graph.
    virtual HRESULT JoinFilterGraph(IFilterGraph* graph, LPCOLESTR name) = 0;
};

struct IEnumFilters : IUnknown {
    COM_INTERFACE(IEnumFilters, IUnknown)
    virtual HRESULT Next(ULONG count, IBaseFilter** filters, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumFilters** out) = 0;
};

struct IFilterGraph : IUnknown {
    COM_INTERFACE(IFilterGraph, IUnknown)
    virtual HRESULT AddFilter(IBaseFilter* filter, LPCOLESTR name) = 0;
    virtual HRESULT RemoveFilter(IBaseFilter* filter) = 0;
    virtual HRESULT EnumFilters(IEnumFilters** out) = 0;
    virtual HRESULT FindFilterByName(LPCOLESTR name, IBaseFilter** filter) = 0;
    virtual HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt) = 0;
    virtual HRESULT Disconnect(IPin* pin) = 0;
};

struct IGraphBuilder : IFilterGraph {
    COM_INTERFACE(IGraphBuilder, IFilterGraph)
    // Connects directly or through a decoder that the graph adds.
    virtual HRESULT Connect(IPin* out, IPin* in) = 0;
};

struct IMediaControl : IUnknown {
    COM_INTERFACE(IMediaControl, IUnknown)
    virtual HRESULT Run() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT GetState(LONG timeoutMs, OAFilterState* state) = 0;
    virtual HRESULT StopWhenReady() = 0;
};

enum AM_SEEKING_SEEKING_CAPABILITIES : DWORD {
    AM_SEEKING_CanSeekAbsolute = 0x1,
    AM_SEEKING_CanSeekForwards = 0x2,
    AM_SEEKING_CanSeekBackwards = 0x4,
    AM_SEEKING_CanGetCurrentPos = 0x8,
    AM_SEEKING_CanGetStopPos = 0x10,
    AM_SEEKING_CanGetDuration = 0x20,
};
enum AM_SEEKING_SEEKING_FLAGS : DWORD {
    AM_SEEKING_NoPositioning = 0,
    AM_SEEKING_AbsolutePositioning = 1,
    AM_SEEKING_RelativePositioning = 2,
    AM_SEEKING_PositioningBitsMask = 3,
};

// Positions in 100-ns units (the only time format).
struct IMediaSeeking : IUnknown {
    COM_INTERFACE(IMediaSeeking, IUnknown)
    virtual HRESULT GetCapabilities(DWORD* caps) = 0;
    // S_OK when all asked capabilities are there, S_FALSE when some, E_FAIL when none.
    virtual HRESULT CheckCapabilities(DWORD* caps) = 0;
    virtual HRESULT GetDuration(LONGLONG* duration) = 0;
    virtual HRESULT GetStopPosition(LONGLONG* stop) = 0;
    virtual HRESULT GetCurrentPosition(LONGLONG* current) = 0;
    virtual HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) = 0;
    virtual HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) = 0;
    virtual HRESULT GetAvailable(LONGLONG* earliest, LONGLONG* latest) = 0;
};

struct IMediaSample : IUnknown {
    COM_INTERFACE(IMediaSample, IUnknown)
    virtual HRESULT GetPointer(BYTE** buffer) = 0;
    virtual LONG GetSize() = 0;
    // S_OK with both times, VFW_S_NO_STOP_TIME with the start only, VFW_E_SAMPLE_TIME_NOT_SET.
    virtual HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) = 0;
    // Null start clears both times; null end keeps only the start.
    virtual HRESULT SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) = 0;
    virtual HRESULT IsSyncPoint() = 0;
    virtual HRESULT SetSyncPoint(BOOL sync) = 0;
    virtual HRESULT IsPreroll() = 0;
    virtual HRESULT SetPreroll(BOOL preroll) = 0;
    virtual LONG GetActualDataLength() = 0;
    virtual HRESULT SetActualDataLength(LONG length) = 0;
    // S_FALSE and no record when the type did not change with this sample.
    virtual HRESULT GetMediaType(AM_MEDIA_TYPE** mt) = 0;
    virtual HRESULT SetMediaType(AM_MEDIA_TYPE* mt) = 0;
    virtual HRESULT IsDiscontinuity() = 0;
    virtual HRESULT SetDiscontinuity(BOOL discontinuity) = 0;
};

struct ALLOCATOR_PROPERTIES {
    LONG cBuffers;
    LONG cbBuffer;
    LONG cbAlign;
    LONG cbPrefix;
};

struct IMemAllocator : IUnknown {
    COM_INTERFACE(IMemAllocator, IUnknown)
    virtual HRESULT SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) = 0;
    virtual HRESULT GetProperties(ALLOCATOR_PROPERTIES* props) = 0;
    virtual HRESULT Commit() = 0;
    virtual HRESULT Decommit() = 0;
    virtual HRESULT GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                              DWORD flags) = 0;
};

struct IMemInputPin : IUnknown {
    COM_INTERFACE(IMemInputPin, IUnknown)
    virtual HRESULT GetAllocator(IMemAllocator** allocator) = 0;
    virtual HRESULT NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) = 0;
    virtual HRESULT Receive(IMediaSample* sample) = 0;
    virtual HRESULT ReceiveCanBlock() = 0;
};

struct IFileSourceFilter : IUnknown {
    COM_INTERFACE(IFileSourceFilter, IUnknown)
    virtual HRESULT Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* mt) = 0;
    virtual HRESULT GetCurFile(OLECHAR** fileName, AM_MEDIA_TYPE* mt) = 0;
};

struct ICaptureGraphBuilder2 : IUnknown {
    COM_INTERFACE(ICaptureGraphBuilder2, IUnknown)
    virtual HRESULT SetFiltergraph(IGraphBuilder* graph) = 0;
    virtual HRESULT GetFiltergraph(IGraphBuilder** graph) = 0;
    // source is a filter or a pin; category is accepted and must be null or GUID_NULL here.
    virtual HRESULT RenderStream(const GUID* category, const GUID* type, IUnknown* source,
                                 IBaseFilter* intermediate, IBaseFilter* sink) = 0;
    virtual HRESULT FindPin(IUnknown* source, PIN_DIRECTION dir, const GUID* category, const GUID* type,
                            BOOL unconnected, int num, IPin** pin) = 0;
};

enum PhysicalConnectorType : LONG {
    PhysConn_Video_Tuner = 1,
    PhysConn_Video_Composite = 2,
    PhysConn_Video_SVideo = 3,
    PhysConn_Audio_Tuner = 0x1000,
    PhysConn_Audio_Line = 0x1001,
};

struct IAMCrossbar : IUnknown {
    COM_INTERFACE(IAMCrossbar, IUnknown)
    virtual HRESULT get_PinCounts(LONG* outputCount, LONG* inputCount) = 0;
    virtual HRESULT CanRoute(LONG output, LONG input) = 0;
    virtual HRESULT Route(LONG output, LONG input) = 0;
    virtual HRESULT get_IsRoutedTo(LONG output, LONG* input) = 0;
    virtual HRESULT get_CrossbarPinInfo(BOOL isInput, LONG index, LONG* relatedIndex, LONG* physicalType) = 0;
};
