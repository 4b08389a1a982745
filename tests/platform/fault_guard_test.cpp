// The fault guard: faults inside a guarded call come back as codes and the thread goes on. (A fault
// outside any guarded call reaching the crash hook is shown in a child process by the crash tests.)
#include "platform/fault_guard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace vyo::platform {
namespace {

// The faults are real: sanitizer checks that would report them first are switched off here.
#define VYO_RAW_FAULT __attribute__((noinline, no_sanitize("address", "undefined")))

volatile int* volatile g_null = nullptr;
volatile int g_zero = 0;

VYO_RAW_FAULT void NullRead(void*) { static_cast<void>(*g_null); }
VYO_RAW_FAULT void NullWrite(void*) { *g_null = 1; }
VYO_RAW_FAULT void DivideByZero(void* out) { *static_cast<int*>(out) = 7 / g_zero; }
void Abort(void*) { std::abort(); }
void Fine(void* out) { *static_cast<int*>(out) = 42; }

TEST(FaultGuard, FaultsComeBackAsCodes) {
  ASSERT_TRUE(InstallFaultGuard());
  struct Case {
    const char* name;
    GuardedFunction fn;
    uint32_t code;
  };
  const Case cases[] = {
      {"null read", NullRead, kFaultAccessViolation},
      {"null write", NullWrite, kFaultAccessViolation},
      {"integer division by zero", DivideByZero, kFaultIntegerDivideByZero},
      {"abort", Abort, kFaultAbort},
  };
  // Twice each: a contained fault leaves the guard working.
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      int out = 0;
      EXPECT_EQ(GuardedCall(c.fn, &out), c.code) << c.name << ", round " << round;
    }
  }
  int out = 0;
  EXPECT_EQ(GuardedCall(Fine, &out), 0u);
  EXPECT_EQ(out, 42);
}

struct Nested {
  uint32_t inner = 1;
  int after = 0;
};
void OuterCall(void* p) {
  auto* n = static_cast<Nested*>(p);
  n->inner = GuardedCall(NullWrite, nullptr);
  n->after = 1;  // the outer call goes on after the inner fault
}

TEST(FaultGuard, InnermostCallTakesTheFault) {
  Nested n;
  EXPECT_EQ(GuardedCall(OuterCall, &n), 0u);
  EXPECT_EQ(n.inner, kFaultAccessViolation);
  EXPECT_EQ(n.after, 1);
}

void Throws(void*) { throw std::runtime_error("thrown through the guard"); }

struct AfterException {
  bool caught = false;
  bool inside = false;
  volatile uint32_t fault = 0;  // how far the call got: the stores must happen where they are written
};
// An inner guarded call that an exception leaves, caught here; then a fault in this outer call.
VYO_RAW_FAULT void CatchThenFault(void* p) {
  auto* a = static_cast<AfterException*>(p);
  try {
    GuardedCall(Throws, nullptr);
  } catch (const std::runtime_error&) {
    a->caught = true;
  }
  a->inside = InGuardedCall();
  a->fault = 1;
  *g_null = 3;  // must come back to this outer call, not the inner one the exception left
  a->fault = 2;
}

TEST(FaultGuard, AnExceptionLeavesTheGuardAsItWas) {
  ASSERT_TRUE(InstallFaultGuard());
  EXPECT_FALSE(InGuardedCall());
  EXPECT_THROW(GuardedCall(Throws, nullptr), std::runtime_error);
  EXPECT_FALSE(InGuardedCall());

  AfterException a;
  EXPECT_EQ(GuardedCall(CatchThenFault, &a), kFaultAccessViolation);
  EXPECT_TRUE(a.caught);
  EXPECT_TRUE(a.inside);
  EXPECT_EQ(a.fault, 1u);
  EXPECT_FALSE(InGuardedCall());
  // And the guard goes on working.
  int out = 0;
  EXPECT_EQ(GuardedCall(DivideByZero, &out), kFaultIntegerDivideByZero);
  EXPECT_EQ(GuardedCall(Fine, &out), 0u);
  EXPECT_EQ(out, 42);
}

TEST(FaultGuard, ThreadsHaveTheirOwnGuards) {
  std::atomic<int> done{0};
  uint32_t codes[4] = {};
  std::thread threads[4];
  for (int i = 0; i < 4; ++i) {
    threads[i] = std::thread([&, i] {
      for (int k = 0; k < 50; ++k) codes[i] |= GuardedCall(i % 2 == 0 ? NullRead : DivideByZero, &codes[i]);
      ++done;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(done.load(), 4);
  EXPECT_EQ(codes[0], kFaultAccessViolation);
  EXPECT_EQ(codes[2], kFaultAccessViolation);
  // DivideByZero never stores its result; only the code is or-ed in.
  EXPECT_EQ(codes[1], kFaultIntegerDivideByZero);
  EXPECT_EQ(codes[3], kFaultIntegerDivideByZero);
}

}  // namespace
}  // namespace vyo::platform
