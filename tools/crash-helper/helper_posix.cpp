// The crash report helper for Linux: handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT on an
// alternate stack write a text report with a backtrace into the crash folder, call the registered
// callback and re-raise the signal so that the process ends with it. Everything done in the
// handler is async-signal-safe: the modules that name addresses are listed at initialisation
// (no loader call in the handler), texts are built in fixed buffers and written with write(2).
// The callback belongs to the host, which keeps to the same rules.
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include "helper_common.h"
#include "platform/posix/signal_codes.h"

namespace vyo::crash_helper {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

char g_folder[1024];
char g_product[128];
char g_version[128];
struct sigaction g_previous[kSignalCount];
bool g_installed = false;
void* g_alt_stack = nullptr;
std::atomic<pid_t> g_crashing_thread{0};

// The modules loaded at initialisation: the range of their loaded segments and their path.
struct Module {
  uintptr_t begin;
  uintptr_t end;
  char path[512];
};
constexpr size_t kMaxModules = 256;
// Two lists: a refresh fills the one not in use, then publishes it.
Module g_modules[2][kMaxModules];
size_t g_module_counts[2] = {0, 0};
std::atomic<int> g_active_list{0};
int g_filling_list = 0;
std::atomic_flag g_refreshing = ATOMIC_FLAG_INIT;

void CopyPath(char* to, size_t size, const char* from) {
  size_t n = 0;
  while (from != nullptr && from[n] != 0 && n + 1 < size) {
    to[n] = from[n];
    ++n;
  }
  to[n] = 0;
}

int AddModule(dl_phdr_info* info, size_t, void*) {
  size_t& count = g_module_counts[g_filling_list];
  if (count == kMaxModules) return 1;
  uintptr_t low = UINTPTR_MAX;
  uintptr_t high = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    if (info->dlpi_addr + ph.p_vaddr < low) low = info->dlpi_addr + ph.p_vaddr;
    if (info->dlpi_addr + ph.p_vaddr + ph.p_memsz > high) high = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
  }
  if (high <= low) return 0;
  Module& m = g_modules[g_filling_list][count];
  m.begin = low;
  m.end = high;
  if (info->dlpi_name != nullptr && info->dlpi_name[0] != 0) {
    CopyPath(m.path, sizeof(m.path), info->dlpi_name);
  } else {
    // The program itself is listed without a name.
    const ssize_t n = readlink("/proc/self/exe", m.path, sizeof(m.path) - 1);
    m.path[n > 0 ? n : 0] = 0;
  }
  if (m.path[0] == 0) CopyPath(m.path, sizeof(m.path), "?");
  ++count;
  return 0;
}

// Takes the list of loaded modules into the list not in use and publishes it (outside the handler).
void TakeModules() {
  while (g_refreshing.test_and_set()) {
  }
  g_filling_list = 1 - g_active_list.load();
  g_module_counts[g_filling_list] = 0;
  dl_iterate_phdr(AddModule, nullptr);
  g_active_list.store(g_filling_list);
  g_refreshing.clear();
}

const Module* FindModule(const void* address) {
  const auto a = reinterpret_cast<uintptr_t>(address);
  const int list = g_active_list.load();
  for (size_t i = 0; i < g_module_counts[list]; ++i) {
    if (a >= g_modules[list][i].begin && a < g_modules[list][i].end) return &g_modules[list][i];
  }
  return nullptr;
}

// UTF-16 to UTF-8 into a fixed buffer; false when it does not fit.
bool Narrow(const VyoCrashWideChar* text, char* out, size_t size) {
  size_t n = 0;
  if (text == nullptr) return false;
  for (size_t i = 0; text[i] != 0; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    char bytes[4];
    size_t len = 0;
    if (c < 0x80) {
      bytes[len++] = static_cast<char>(c);
    } else if (c < 0x800) {
      bytes[len++] = static_cast<char>(0xC0 | (c >> 6));
      bytes[len++] = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      bytes[len++] = static_cast<char>(0xE0 | (c >> 12));
      bytes[len++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes[len++] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      bytes[len++] = static_cast<char>(0xF0 | (c >> 18));
      bytes[len++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      bytes[len++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes[len++] = static_cast<char>(0x80 | (c & 0x3F));
    }
    if (n + len + 1 > size) return false;
    for (size_t k = 0; k < len; ++k) out[n++] = bytes[k];
  }
  out[n] = 0;
  return true;
}

// A fixed-size text buffer written with plain write(2): usable in a signal handler.
class Writer {
 public:
  explicit Writer(int fd) : fd_(fd) {}
  ~Writer() { Flush(); }
  Writer& Text(const char* s) {
    while (s != nullptr && *s != 0) Put(*s++);
    return *this;
  }
  Writer& Dec(uint64_t v) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (n > 0) Put(digits[--n]);
    return *this;
  }
  Writer& Hex(uint64_t v, int min_digits = 1) {
    char digits[16];
    int n = 0;
    do {
      digits[n++] = "0123456789ABCDEF"[v & 0xF];
      v >>= 4;
    } while (v != 0 || n < min_digits);
    Text("0x");
    while (n > 0) Put(digits[--n]);
    return *this;
  }
  // "module+0xOFFSET" for a code address (symbol names would need the loader; the offset in the
  // module is what the symbol files resolve).
  Writer& Place(const void* address) {
    const Module* module = address != nullptr ? FindModule(address) : nullptr;
    if (module == nullptr) return Text("?");
    return Text(module->path).Text("+").Hex(reinterpret_cast<uintptr_t>(address) - module->begin);
  }
  void Flush() {
    size_t done = 0;
    while (done < used_) {
      const ssize_t n = write(fd_, buffer_ + done, used_ - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    used_ = 0;
  }

 private:
  void Put(char c) {
    if (used_ == sizeof(buffer_)) Flush();
    buffer_[used_++] = c;
  }
  int fd_;
  char buffer_[2048];
  size_t used_ = 0;
};

bool WriteReport(int sig, const VyoExceptionRecord& record) {
  char path[1200];
  size_t n = 0;
  auto append = [&](const char* s) {
    while (*s != 0 && n + 1 < sizeof(path)) path[n++] = *s++;
  };
  auto append_dec = [&](uint64_t v) {
    char digits[24];
    int k = 0;
    do {
      digits[k++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (k > 0 && n + 1 < sizeof(path)) path[n++] = digits[--k];
  };
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  append(g_folder);
  append("/crash_");
  append_dec(static_cast<uint64_t>(getpid()));
  append("_");
  append_dec(static_cast<uint64_t>(now.tv_sec));
  append(".txt");
  path[n] = 0;
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  {
    Writer w(fd);
    w.Text("crash report\nproduct=").Text(g_product).Text("\nversion=").Text(g_version);
    w.Text("\npid=").Dec(static_cast<uint64_t>(getpid())).Text("\nsignal=").Dec(static_cast<uint64_t>(sig));
    w.Text("\ncode=").Hex(record.code, 8).Text("\naddress=").Hex(reinterpret_cast<uintptr_t>(record.address));
    w.Text("\nfault_address=").Hex(record.information[1]).Text("\nmodule=").Place(record.address);
    w.Text("\nuser_id=").Dec(g_user_id.load()).Text("\nbacktrace:\n");
    w.Text("#0 ").Hex(reinterpret_cast<uintptr_t>(record.address)).Text(" ").Place(record.address).Text("\n");
    void* frames[64];
    const int count = backtrace(frames, 64);
    for (int i = 0; i < count; ++i) {
      w.Text("#").Dec(static_cast<uint64_t>(i + 1)).Text(" ").Hex(reinterpret_cast<uintptr_t>(frames[i])).Text(" ");
      w.Place(frames[i]).Text("\n");
    }
  }
  fsync(fd);
  close(fd);
  return true;
}

int SlotOf(int sig) {
  for (size_t i = 0; i < kSignalCount; ++i) {
    if (kSignals[i] == sig) return static_cast<int>(i);
  }
  return 0;
}

// Gives the signal back to what handled it before the helper (or the default action), so that the
// process ends with the signal.
void Reraise(int sig, siginfo_t* info, void* ucontext) {
  const struct sigaction& previous = g_previous[SlotOf(sig)];
  sigaction(sig, &previous, nullptr);
  vyo::platform::posix::ChainSignal(previous, sig, info, ucontext);
}

void OnCrash(int sig, siginfo_t* info, void* ucontext) {
  const pid_t self = static_cast<pid_t>(gettid());
  pid_t expected = 0;
  if (!g_crashing_thread.compare_exchange_strong(expected, self)) {
    if (expected == self) {
      Reraise(sig, info, ucontext);  // a fault while reporting: give up the report
      return;
    }
    // Another thread is reporting and will end the process: wait for it.
    for (;;) pause();
  }
  VyoExceptionRecord record{};
  record.code = vyo::platform::posix::FaultCodeForSignal(sig, info != nullptr ? info->si_code : 0);
  record.address = const_cast<void*>(vyo::platform::posix::FaultInstruction(ucontext));
  record.parameter_count = 2;
  record.information[1] = info != nullptr && sig != SIGABRT ? reinterpret_cast<uintptr_t>(info->si_addr) : 0;
  VyoExceptionPointers pointers{&record, ucontext};
  VyoCrashBlock block{&pointers, sig, record.code};
  VyoCrashCallbackInfo callback_info{WriteReport(sig, record) ? 1 : 0, &block};
  if (const VyoCrashCallback callback = g_callback.load()) callback(&callback_info);
  Reraise(sig, info, ucontext);
}

}  // namespace
}  // namespace vyo::crash_helper

using namespace vyo::crash_helper;

VYO_HELPER_EXPORT int32_t InitCrashReportHelper(const void* config) {
  const auto* record = static_cast<const uint8_t*>(config);
  if (const int32_t refused = TakeRecord(record)) return refused;
  if (g_installed) return 0;
  if (!Narrow(RecordText(record, VYO_CRASH_RECORD_OFF_FOLDER), g_folder, sizeof(g_folder)) || g_folder[0] != '/') {
    return 4;
  }
  if (!Narrow(RecordText(record, VYO_CRASH_RECORD_OFF_PRODUCT), g_product, sizeof(g_product))) g_product[0] = 0;
  if (!Narrow(RecordText(record, VYO_CRASH_RECORD_OFF_VERSION), g_version, sizeof(g_version))) g_version[0] = 0;
  g_user_id.store(RecordU64(record, VYO_CRASH_RECORD_OFF_USER_ID));
  mkdir(g_folder, 0755);
  TakeModules();
  // backtrace() loads its unwinder on first use: do that now, not in the handler.
  void* warm[2];
  backtrace(warm, 2);
  // An alternate stack for this thread, unless it has one, so a stack overflow is still reported.
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) != 0) {
    const size_t stack_size = 64 * 1024 + SIGSTKSZ;
    g_alt_stack = malloc(stack_size);
    stack_t ss{};
    ss.ss_sp = g_alt_stack;
    ss.ss_size = stack_size;
    if (g_alt_stack != nullptr && sigaltstack(&ss, nullptr) != 0) {
      free(g_alt_stack);
      g_alt_stack = nullptr;
    }
  }
  struct sigaction action {};
  action.sa_sigaction = OnCrash;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &g_previous[i]);
  g_installed = true;
  g_state.initialised = 1;
  return 0;
}

VYO_HELPER_EXPORT void UninitCrashReportHelper(void) {
  Journal(VYO_HELPER_CALL_UNINIT);
  if (!g_installed) return;
  for (size_t i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
  if (g_alt_stack != nullptr) {
    stack_t ss{};
    ss.ss_flags = SS_DISABLE;
    sigaltstack(&ss, nullptr);
    free(g_alt_stack);
    g_alt_stack = nullptr;
  }
  g_callback.store(nullptr);
  g_installed = false;
  g_state.initialised = 0;
}

VYO_HELPER_EXPORT void RefreshCrashReportHelperModules(void) {
  if (g_installed) TakeModules();
}
