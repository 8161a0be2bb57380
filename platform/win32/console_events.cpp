// Console control events while a file is saved: Ctrl+C and Ctrl+Break wait until the file is
// renamed or removed and then end the tool as they would have; closing the console, logging off
// and shutting down give the save a few seconds and else remove its temporary file. Only the
// tool's own handler is added and removed: whether Ctrl+C is ignored stays as the process began.
#include "platform/win32/win32.h"

#include "platform/win32/backend.h"

namespace {

// The system ends a process about 5 s after a close event; the removal must come before.
constexpr DWORD kCloseWaitMs = 4000;

// The handler runs on a thread of the system's while the save goes on, so what it must know of
// the save can only be left here: whether one is in progress, and what to remove.
HANDLE g_idle = nullptr;  // set while no save is in progress
const char* g_temporary = "";
HANDLE g_file = INVALID_HANDLE_VALUE;  // the temporary file while it is open

BOOL WINAPI OnEvent(DWORD event) {
  const DWORD wait = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? INFINITE : kCloseWaitMs;
  if (WaitForSingleObject(g_idle, wait) != WAIT_OBJECT_0) {
    // An open file is shared with nobody: marked through its handle, it goes when the process
    // closes it.
    FILE_DISPOSITION_INFO remove = {TRUE};
    if (g_file != INVALID_HANDLE_VALUE) {
      SetFileInformationByHandle(g_file, FileDispositionInfo, &remove, sizeof remove);
    }
    wchar_t name[32768];
    if (MultiByteToWideChar(CP_ACP, 0, g_temporary, -1, name, 32768) > 0) {
      DeleteFileW(name);
    }
  }
  // The next handler, the system's own at the end, does what the event asks.
  return FALSE;
}

}  // namespace

void PlatformHoldInterruptions(const char* temporary, void (*work)(void*), void* context) {
  if (g_idle == nullptr) {
    g_idle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  } else {
    ResetEvent(g_idle);
  }
  g_temporary = temporary;
  SetConsoleCtrlHandler(OnEvent, TRUE);
  work(context);
  g_file = INVALID_HANDLE_VALUE;
  SetEvent(g_idle);
  SetConsoleCtrlHandler(OnEvent, FALSE);
}

void ConsoleEventsFile(void* file, bool open) {
  if (open || g_file == file) {
    g_file = open ? file : INVALID_HANDLE_VALUE;
  }
}

void RunConsoleEventHandler(unsigned long event) {
  OnEvent(event);
}
