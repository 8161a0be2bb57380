#include "tools/bridge-emu/usb_io.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace emu {

namespace {

const char* g_tag = "emu";
pthread_t g_commandThread;
std::atomic<unsigned> g_generation{0};

void OnSignal(int) {}

}  // namespace

void SetLogTag(const char* tag) {
  g_tag = tag;
}

void Log(const char* format, ...) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  std::fprintf(stderr, "[%s %ld.%03ld] ", g_tag, static_cast<long>(ts.tv_sec),
               ts.tv_nsec / 1000000);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

bool WriteAll(int fd, const std::uint8_t* p, std::size_t length, const char* what) {
  do {
    ssize_t n = write(fd, p, length);
    if (n < 0) {
      Log("%s: %s\n", what, std::strerror(errno));
      return false;
    }
    p += n;
    length -= static_cast<std::size_t>(n);
  } while (length > 0);
  return true;
}

bool ReadAll(int fd, std::uint8_t* p, std::size_t length, const char* what) {
  while (length > 0) {
    ssize_t n = read(fd, p, length);
    if (n <= 0) {
      Log("%s: %s\n", what, n < 0 ? std::strerror(errno) : "end");
      return false;
    }
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

unsigned Generation() {
  return g_generation;
}

void InterruptCommands() {
  g_generation++;
  pthread_kill(g_commandThread, SIGUSR1);
}

bool Stall(std::uint32_t ms, unsigned generation) {
  Log("stalling %u ms\n", ms);
  for (std::uint32_t waited = 0; waited < ms; waited += 10) {
    if (g_generation != generation) {
      Log("host reset during the stall: reply dropped\n");
      return false;
    }
    usleep(10000);
  }
  return g_generation == generation;
}

bool StartControl(void* (*control)(void*), const std::string& readyFile) {
  // No SA_RESTART: the signal must break the command thread out of a blocked transfer.
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigaction(SIGUSR1, &action, nullptr);
  g_commandThread = pthread_self();
  pthread_t thread;
  if (pthread_create(&thread, nullptr, control, nullptr) != 0) {
    std::fprintf(stderr, "bridge-emu: cannot start the control thread\n");
    return false;
  }
  if (!readyFile.empty()) {
    int fd = open(readyFile.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) {
      close(fd);
    }
  }
  return true;
}

}  // namespace emu
