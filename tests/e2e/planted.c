/* A DLL that a test plants beside a program under a system DLL's name.
   Loaded into any process, it leaves a file named after itself with
   ".loaded" appended, so a test sees a load that no code of the program
   asked for (one the loader made for a DLL's imports, say). */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved); /* the loader's call */

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        WCHAR mark[MAX_PATH + 8];
        DWORD const length = GetModuleFileNameW(instance, mark, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            lstrcpyW(mark + length, L".loaded");
            CloseHandle(CreateFileW(mark, GENERIC_WRITE, /* share */ 0, /* security */ NULL,
                                    CREATE_ALWAYS, /* flags */ 0, /* template */ NULL));
        }
    }
    return TRUE;
}
