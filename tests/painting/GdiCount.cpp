#include "tests/painting/GdiCount.h"
#include <winternl.h>
#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

namespace painting {

namespace {

// One entry of the GDI handle table of a 64-bit process: 24 bytes; the full type in the low
// 7 bits of byte 12, the base type at byte 14 (0 for a free entry). 65536 entries.
constexpr size_t kEntrySize = 24;
constexpr size_t kExtTypeOffset = 12;
constexpr size_t kTypeOffset = 14;
constexpr size_t kEntries = 0x10000;
constexpr size_t kPebGdiTableOffset = 0xF8;  // PEB.GdiSharedHandleTable in a 64-bit process

using QueryInformationProcess = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);

// The object types as Wine numbers them (the high word of its NTGDI_OBJ_* values).
const char* TypeName(unsigned type)
{
    switch (type) {
    case 0x01: return "dc";
    case 0x04: return "region";
    case 0x05: return "surf";
    case 0x08: return "palette";
    case 0x09: return "bitmap";
    case 0x0a: return "font";
    case 0x10: return "brush";
    case 0x21: return "enhmetadc";
    case 0x26: return "metafile";
    case 0x30: return "pen";
    case 0x41: return "memory dc";
    case 0x46: return "enhmetafile";
    case 0x50: return "extpen";
    case 0x66: return "metadc";
    default: return nullptr;
    }
}

bool ReadTable(HANDLE process, std::vector<unsigned char>* table)
{
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    auto query = ntdll ? reinterpret_cast<QueryInformationProcess>(
                             reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQueryInformationProcess")))
                       : nullptr;
    if (!query) return false;
    PROCESS_BASIC_INFORMATION basic{};
    if (query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0 || !basic.PebBaseAddress)
        return false;
    std::uint64_t tableAddress = 0;
    SIZE_T got = 0;
    if (!::ReadProcessMemory(process, reinterpret_cast<const char*>(basic.PebBaseAddress) + kPebGdiTableOffset,
                             &tableAddress, sizeof tableAddress, &got) ||
        got != sizeof tableAddress || !tableAddress)
        return false;
    table->resize(kEntries * kEntrySize);
    return ::ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<uintptr_t>(tableAddress)),
                               table->data(), table->size(), &got) &&
           got == table->size();
}

}  // namespace

GdiCount CountGdiObjects(HANDLE process)
{
    GdiCount count;
    DWORD gui = ::GetGuiResources(process, GR_GDIOBJECTS);
    if (gui > 0) {
        count.objects = static_cast<long>(gui);
        count.source = "GetGuiResources";
        return count;
    }
    std::vector<unsigned char> table;
    if (!ReadTable(process, &table)) return count;
    std::map<unsigned, long> byType;
    long live = 0;
    for (size_t i = 0; i < kEntries; ++i) {
        if (!table[i * kEntrySize + kTypeOffset]) continue;
        ++live;
        ++byType[table[i * kEntrySize + kExtTypeOffset] & 0x7f];
    }
    count.objects = live;
    count.source = "handle table";
    for (const auto& [type, n] : byType) {
        char buf[64];
        const char* name = TypeName(type);
        if (name)
            std::snprintf(buf, sizeof buf, "%s%s %ld", count.detail.empty() ? "" : ", ", name, n);
        else
            std::snprintf(buf, sizeof buf, "%stype 0x%02x %ld", count.detail.empty() ? "" : ", ", type, n);
        count.detail += buf;
    }
    return count;
}

}  // namespace painting
