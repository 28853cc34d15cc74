// Delivers a console control event as the system does: a thread that runs
// the console's control routine in each process whose executable is named by
// the first argument (e.g. Hoister.exe), with the event (its second argument,
// 2 for a close) as the thread's parameter. Exits 0 when it reached one.
#include <windows.h>
// After <windows.h>, which it needs.
#include <tlhelp32.h>

#include <cstdlib>

int main(int argc, char* argv[]) {
    if (argc < 3) return 2;
    const ULONG_PTR event = std::strtoul(argv[2], nullptr, 10);
    FARPROC routine = GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine");
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (!routine || snapshot == INVALID_HANDLE_VALUE) return 1;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    int reached = 0;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, argv[1]) != 0) continue;
        HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID);
        HANDLE thread = process ? CreateRemoteThread(process, nullptr, 0,
                                                     reinterpret_cast<LPTHREAD_START_ROUTINE>(
                                                         reinterpret_cast<void*>(routine)),
                                                     reinterpret_cast<void*>(event), 0, nullptr)
                                : nullptr;
        if (thread) {
            reached = 1;
            CloseHandle(thread);
        }
        if (process) CloseHandle(process);
    }
    CloseHandle(snapshot);
    return reached ? 0 : 1;
}
