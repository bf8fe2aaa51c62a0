#include "platform/graph/NullRenderer.h"

CNullRenderer::CNullRenderer() : CBaseRenderer(L"Null Renderer", CLSID_NullRenderer) {}

CNullRenderer::~CNullRenderer() = default;
