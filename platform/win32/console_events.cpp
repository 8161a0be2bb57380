// Console control events while a file is saved: Ctrl+C and Ctrl+Break wait until the file is
// renamed or removed and then end the tool as they would have; closing the console, logging off
// and shutting down give the save a few seconds and else remove its temporary file. During a kept
// stretch (the NVRAM write) Ctrl+C and Ctrl+Break are taken instead, and end nothing. Only the
// tool's own handler is added and removed: whether Ctrl+C is ignored stays as the process began.
#include "platform/win32/win32.h"

#include "platform/win32/backend.h"

namespace {

// The system ends a process about 5 s after a close event; the removal must come before.
constexpr DWORD kCloseWaitMs = 4000;

// The handler runs on a thread of the system's while the work goes on, so what it must know of
// the work can only be left here: whether any is in progress, and what to remove.
HANDLE g_idle = nullptr;  // set while nothing is held
int g_holds = 0;          // held stretches in progress, a save within a kept stretch counting two
const char* g_temporary = "";          // the save's temporary file; "" outside a save
HANDLE g_file = INVALID_HANDLE_VALUE;  // the temporary file while it is open
volatile LONG g_keeping = 0;           // a kept stretch is in progress
volatile LONG g_came = 0;              // it took Ctrl+C or Ctrl+Break

BOOL WINAPI OnEvent(DWORD event) {
  const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  if (interrupt && InterlockedCompareExchange(&g_keeping, 0, 0) != 0) {
    InterlockedExchange(&g_came, 1);
    return TRUE;  // taken: the stretch asks for it
  }
  if (WaitForSingleObject(g_idle, interrupt ? INFINITE : kCloseWaitMs) != WAIT_OBJECT_0 &&
      g_temporary[0] != '\0') {
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

void BeginHold() {
  if (g_holds++ > 0) {
    return;
  }
  if (g_idle == nullptr) {
    g_idle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  } else {
    ResetEvent(g_idle);
  }
  SetConsoleCtrlHandler(OnEvent, TRUE);
}

void EndHold() {
  if (--g_holds == 0) {
    SetEvent(g_idle);
    SetConsoleCtrlHandler(OnEvent, FALSE);
  }
}

}  // namespace

void PlatformHoldInterruptions(const char* temporary, void (*work)(void*), void* context) {
  BeginHold();
  g_temporary = temporary;
  work(context);
  g_file = INVALID_HANDLE_VALUE;
  g_temporary = "";
  EndHold();
}

struct KeptInterruptions {
  const volatile LONG* came;
};

bool PlatformInterruptionCame(const KeptInterruptions& kept) {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(kept.came), 0, 0) != 0;
}

bool PlatformKeepInterruptions(void (*work)(void*, const KeptInterruptions&), void* context) {
  BeginHold();
  InterlockedExchange(&g_came, 0);
  InterlockedExchange(&g_keeping, 1);
  // Idle sleep would suspend the write, or cut the bridge's power in the middle of it.
  SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  work(context, KeptInterruptions{&g_came});
  SetThreadExecutionState(ES_CONTINUOUS);
  InterlockedExchange(&g_keeping, 0);
  EndHold();
  return InterlockedExchange(&g_came, 0) != 0;
}

void ConsoleEventsFile(void* file, bool open) {
  if (open || g_file == file) {
    g_file = open ? file : INVALID_HANDLE_VALUE;
  }
}

void RunConsoleEventHandler(unsigned long event) {
  OnEvent(event);
}
