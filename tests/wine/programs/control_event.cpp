// Delivers a console control event as the system does: a thread that runs
// the console's control routine in the process with the ID given first, with
// the event given second (2 for a close) as the thread's parameter.
#include <windows.h>

#include <cstdlib>

int main(int argc, char* argv[]) {
    if (argc < 3) return 2;
    void* routine =
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine"));
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, std::strtoul(argv[1], nullptr, 10));
    const ULONG_PTR event = std::strtoul(argv[2], nullptr, 10);
    return routine && process &&
                   CreateRemoteThread(process, nullptr, 0,
                                      reinterpret_cast<LPTHREAD_START_ROUTINE>(routine),
                                      reinterpret_cast<void*>(event), 0, nullptr)
               ? 0
               : 1;
}
