// ProcessPrng, for the wine prefixes of the Windows tests only.
//
// Programs built with Rust 1.78 and later (python-calamine's module among
// them) take their random numbers from bcryptprimitives.dll's ProcessPrng,
// which every Windows 10 and 11 has and wine 8 lacks. This stands in for it
// there, with the system's own generator; nothing we ship contains it.
#include <windows.h>

extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);  // RtlGenRandom, advapi32

extern "C" __declspec(dllexport) BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T length) {
    while (length > 0) {
        const ULONG chunk = length > 0x10000000 ? 0x10000000UL : static_cast<ULONG>(length);
        if (!SystemFunction036(data, chunk)) return FALSE;
        data += chunk;
        length -= chunk;
    }
    return TRUE;
}
