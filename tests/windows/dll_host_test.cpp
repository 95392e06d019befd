// qmx.dll as a Windows host meets it, linking nothing of qmx: loaded with
// LoadLibrary, its export table holds the fourteen entry points under their
// plain names and nothing of the statically linked runtime, each found by
// GetProcAddress. (scripts/test-windows.sh also relays a message through
// qmx.lib of the SDK zip.)
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

TEST(DllHost, ExportsExactlyTheFourteenEntryPointsByTheirPlainNames) {
    HMODULE module = LoadLibraryA(QMX_DLL_NAME);
    ASSERT_NE(module, nullptr) << GetLastError();
    const auto *base = reinterpret_cast<const char *>(module);
    const auto *pe = reinterpret_cast<const IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const auto *table = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(
        base + pe->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
    const auto *names = reinterpret_cast<const DWORD *>(base + table->AddressOfNames);
    std::set<std::string> exported;
    for (DWORD i = 0; i < table->NumberOfNames; ++i) {
        exported.insert(base + names[i]);
        EXPECT_NE(GetProcAddress(module, base + names[i]), nullptr) << base + names[i];
    }
    EXPECT_EQ(exported,
              std::set<std::string>({"QMX_init", "QMX_shutdown", "QMX_setCallback",
                                     "QMX_setProtoCallback", "QMX_getProtoCallback",
                                     "QMX_newInstance", "QMX_deleteInstance", "QMX_processInstance",
                                     "QMX_getInstanceUserData", "QMX_getInstanceProtoData",
                                     "QMX_setReplacementText", "QMX_getReplacementText",
                                     "QMX_getReplacementTextSize", "QMX_deleteReplacementText"}));
    FreeLibrary(module);
}
