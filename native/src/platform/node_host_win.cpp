// Node-API is imported from "node.exe" with delayed loading (a delay-load
// import library made from node-api-headers' node_api.def). Hosts that embed
// Node under another name, such as electron.exe, export the same functions
// from their own executable: that name is answered with the executable that
// loaded us, so the module binds to whichever host it runs in. Linked into
// the module itself, where the delay-load helper finds it.

#include <windows.h>
#include <delayimp.h>

#include <cstring>

namespace {

FARPROC WINAPI loadHostExecutable(unsigned notification, PDelayLoadInfo info) {
    if (notification == dliNotePreLoadLibrary && _stricmp(info->szDll, "node.exe") == 0)
        return reinterpret_cast<FARPROC>(GetModuleHandleW(nullptr));
    return nullptr;  // every other library loads as usual
}

}  // namespace

extern "C" {
PfnDliHook __pfnDliNotifyHook2 = loadHostExecutable;
}
