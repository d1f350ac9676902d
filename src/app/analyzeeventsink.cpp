#include "app/analyzeeventsink.h"

CAnalyzeEventSink::CAnalyzeEventSink(CDlgScan* page) : m_page(page) {}

int CAnalyzeEventSink::Notify(uint32_t, int32_t, void*, uint32_t)
{
    return IsStopped() ? -1 : 0;
}
