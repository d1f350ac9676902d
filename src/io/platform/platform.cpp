#include "io/platform/platform.h"

IPlatform& DefaultPlatform();  // the backend built for this system

namespace {
IPlatform* g_override = nullptr;
}

IPlatform& Platform() { return g_override ? *g_override : DefaultPlatform(); }
void SetPlatform(IPlatform* platform) { g_override = platform; }
