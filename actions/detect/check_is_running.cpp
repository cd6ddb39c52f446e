// CheckISRunning: tells the package whether the Indexing Service is running.
// Its client library is loaded at run time, so the module loads on systems
// without it; there the action reports the missing library and answers "0".
#include "actions/action.h"
#include "runtime/handles.h"

#include <cstring>
#include <string>

namespace {

// The service's status record, as the client library fills it.
struct CiState {
    DWORD cbStruct;
    DWORD cWordList;
    DWORD cPersistentIndex;
    DWORD cQueries;
    DWORD cDocuments;
    DWORD cFreshTest;
    DWORD dwMergeProgress;
    DWORD eState;
    DWORD cFilteredDocuments;
    DWORD cTotalDocuments;
    DWORD cPendingScans;
    DWORD dwIndexSize;
    DWORD cUniqueKeys;
    DWORD cSecQDocuments;
    DWORD dwPropCacheSize;
};
static_assert(sizeof(CiState) == 60);

using LocateCatalogsAFn = HRESULT(WINAPI*)(const char* scope, ULONG bookmark, char* machine,
                                            ULONG* machineSize, char* catalog, ULONG* catalogSize);
using CIStateFn = HRESULT(WINAPI*)(const WCHAR* catalog, const WCHAR* machine, CiState* state);

constexpr int32_t kNoEntryPoint = static_cast<int32_t>(0x80004003);  // E_POINTER
constexpr HRESULT kIndexNotRunning = static_cast<HRESULT>(0x80041820);
constexpr ULONG kMachineSize = 32;
constexpr ULONG kCatalogSize = 522;

template <typename Fn>
Fn EntryPoint(HMODULE library, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(ca::Os().GetProcAddress(library, name)));
}

// The first catalog covering the whole name space and the machine that
// holds it; both empty when none was located or its names do not fit.
void LocateCatalog(LocateCatalogsAFn locate, std::string& machine, std::string& catalog) {
    char machineBuffer[kMachineSize] = {};
    char catalogBuffer[kCatalogSize] = {};
    ULONG machineSize = kMachineSize;
    ULONG catalogSize = kCatalogSize;
    const HRESULT result =
        locate("\\", 0, machineBuffer, &machineSize, catalogBuffer, &catalogSize);
    if (result != S_OK || machineSize > kMachineSize || catalogSize > kCatalogSize) return;
    machine.assign(machineBuffer, strnlen(machineBuffer, sizeof machineBuffer));
    catalog.assign(catalogBuffer, strnlen(catalogBuffer, sizeof catalogBuffer));
}

// The name in UTF-16; false when it does not fit (with its terminator) into
// `capacity` wide characters.
bool Widen(const std::string& text, WCHAR* wide, int capacity) {
    return ca::Os().MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, capacity) > 0;
}

}  // namespace

CA_ACTION CheckISRunning(MSIHANDLE install) {
    using namespace ca;
    ActionScope scope(install, "CheckISRunning");
    ActionError error;
    bool running = false;
    UniqueLibrary library;  // released on every path
    const BodyOutcome outcome = RunActionBody(error, "BA95SDEFFK7SBBZ", [&] {
        library.Reset(Os().LoadLibraryA("query.dll"));
        if (!library) {
            error.RecordError("BUGFHXBLPKZ9NFF", kNoEntryPoint);
            ThrowFailure();
        }
        const auto locate = EntryPoint<LocateCatalogsAFn>(library.Get(), "LocateCatalogsA");
        if (locate == nullptr) {
            error.RecordError("B8MISTRCU3R7VA3", kNoEntryPoint);
            ThrowFailure();
        }
        const auto ciState = EntryPoint<CIStateFn>(library.Get(), "CIState");
        if (ciState == nullptr) {
            error.RecordError("VAKSCNZLELYDAUR", kNoEntryPoint);
            ThrowFailure();
        }

        std::string machine, catalog;
        LocateCatalog(locate, machine, catalog);
        if (machine.empty() || catalog.empty()) return;  // no catalog: not running

        WCHAR wideMachine[kMachineSize] = {};
        WCHAR wideCatalog[kCatalogSize] = {};
        if (!Widen(machine, wideMachine, kMachineSize) ||
            !Widen(catalog, wideCatalog, kCatalogSize))
            return;  // names that cannot be passed on count as not located
        CiState state = {};
        state.cbStruct = sizeof state;
        // Every answer but "content index not running" means the service is up.
        running = ciState(wideCatalog, wideMachine, &state) != kIndexNotRunning;
    });
    library.Reset();
    if (outcome == BodyOutcome::Failed) PublishError(install, error);
    Os().MsiSetPropertyA(install, "IS_IS_RUNNING", running ? "1" : "0");
    return ERROR_SUCCESS;
}
