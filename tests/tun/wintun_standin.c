/* A stand-in for the adapter library, built only for the loader's tests under Wine: it exports
   the eleven entry points (ten when PELTO_STANDIN_PARTIAL is defined) with fixed answers, so a
   test can see that calls reach the library that was written out of the resources, and which
   adapter GUID the program asked for. */
#include <stdint.h>

#define EXPORT __declspec(dllexport)

/* The GUID of the last create call (all zero when it passed none), read back by the tests
   through PeltoStandinLastGuid. */
static unsigned char last_guid[16];

EXPORT void* WintunCreateAdapter(const uint16_t* name, const uint16_t* type, const void* guid)
{
    (void)name; (void)type;
    for (int i = 0; i < 16; ++i) {
        last_guid[i] = guid ? ((const unsigned char*)guid)[i] : 0;
    }
    return (void*)(uintptr_t)0x5A5A;
}
EXPORT void PeltoStandinLastGuid(unsigned char* out)
{
    for (int i = 0; i < 16; ++i) {
        out[i] = last_guid[i];
    }
}
EXPORT void* WintunOpenAdapter(const uint16_t* name) { (void)name; return 0; }
EXPORT void WintunCloseAdapter(void* adapter) { (void)adapter; }
EXPORT void WintunGetAdapterLUID(void* adapter, uint64_t* luid) { (void)adapter; *luid = 42; }
EXPORT void* WintunStartSession(void* adapter, uint32_t capacity) { (void)capacity; return adapter; }
EXPORT void WintunEndSession(void* session) { (void)session; }
EXPORT void* WintunGetReadWaitEvent(void* session) { (void)session; return 0; }
EXPORT uint8_t* WintunReceivePacket(void* session, uint32_t* size) { (void)session; *size = 0; return 0; }
EXPORT void WintunReleaseReceivePacket(void* session, const uint8_t* packet) { (void)session; (void)packet; }
EXPORT uint8_t* WintunAllocateSendPacket(void* session, uint32_t size) { (void)session; (void)size; return 0; }
#ifndef PELTO_STANDIN_PARTIAL
EXPORT void WintunSendPacket(void* session, const uint8_t* packet) { (void)session; (void)packet; }
#endif
