// SPDX-License-Identifier: MIT
// A 32-bit Windows host's view of kestrumEx.dll: loaded by name, its five exports found by name and
// by ordinal, each called through a thunk that sets the stack pointer's alignment (ESP % 16 = 0, 4,
// 8, 12 at the call), fills the callee-saved registers with markers and, after the call, records
// ESP, EBX, ESI, EDI, EBP, EFLAGS, the x87 environment and MXCSR. cdecl on i686: the callee returns
// with ESP as it was at the call, EBX, ESI, EDI and EBP as they were, the direction flag clear, the
// x87 stack empty and the control words left as the host set them. Recodes under the modes some
// hosts leave set (x87 precision 24 bits, SSE rounding toward zero with FTZ and DAZ) give the bytes
// of the default modes.
#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "param_name.h"
#include "test_images.h"
#include "test_util.h"

namespace {

// The thunk's record; the offsets are the assembly's.
struct HostCall {
  uint32_t function;               // 0
  uint32_t args[3];                // 4: stored at ESP, ESP + 4, ESP + 8 whatever the arity
  uint32_t esp_mod16;              // 16: ESP % 16 at the call instruction
  uint32_t x87_control_in;         // 20: loaded before the call
  uint32_t mxcsr_in;               // 24: loaded before the call
  uint32_t result;                 // 28: EAX
  uint32_t esp_at_call;            // 32
  uint32_t esp_after;              // 36
  uint32_t ebx, esi, edi, ebp;     // 40, 44, 48, 52 after the call
  uint32_t eflags;                 // 56 after the call
  uint32_t mxcsr_after;            // 60
  uint32_t x87_env[7];             // 64: fnstenv after the call (control, status, tag words...)
  uint32_t saved_x87_control = 0;  // 92: the host's own, restored after the call
  uint32_t saved_mxcsr = 0;        // 96
};
static_assert(sizeof(HostCall) == 100);

}  // namespace

extern "C" {
HostCall* kestrum_host_call_record;
uint32_t kestrum_host_call_esp;
void kestrum_host_call(HostCall* call);
// Callees that each break one rule, to show that the checks see it.
void kestrum_stub_keeps_all(), kestrum_stub_changes_ebx(), kestrum_stub_changes_esi(),
    kestrum_stub_changes_edi(), kestrum_stub_changes_ebp(), kestrum_stub_pops_an_argument(),
    kestrum_stub_sets_direction(), kestrum_stub_leaves_x87_value(),
    kestrum_stub_sets_x87_precision(), kestrum_stub_sets_sse_rounding();
}

// cdecl, not reentrant (its record and saved ESP are globals; the tests run on one thread). After
// the call it hands back a clean state whatever the callee did: x87 emptied, the host's control
// words, the direction flag clear, its own ESP and registers.
asm(R"(
  .text
  .globl _kestrum_host_call
_kestrum_host_call:
  pushl %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  movl 20(%esp), %eax
  movl %eax, _kestrum_host_call_record
  movl %esp, _kestrum_host_call_esp
  fnstcw 92(%eax)
  stmxcsr 96(%eax)
  fldcw 20(%eax)
  ldmxcsr 24(%eax)
  movl %esp, %ecx
  andl $-16, %ecx
  subl $64, %ecx
  addl 16(%eax), %ecx
  movl %ecx, 32(%eax)
  movl 4(%eax), %edx
  movl %edx, 0(%ecx)
  movl 8(%eax), %edx
  movl %edx, 4(%ecx)
  movl 12(%eax), %edx
  movl %edx, 8(%ecx)
  movl 0(%eax), %eax
  movl %ecx, %esp
  movl $0x0B0B0B0B, %ebx
  movl $0x51515151, %esi
  movl $0xD1D1D1D1, %edi
  movl $0xBFBFBFBF, %ebp
  call *%eax
  movl _kestrum_host_call_record, %ecx
  movl %eax, 28(%ecx)
  movl %esp, 36(%ecx)
  movl %ebx, 40(%ecx)
  movl %esi, 44(%ecx)
  movl %edi, 48(%ecx)
  movl %ebp, 52(%ecx)
  pushfl
  popl %edx
  movl %edx, 56(%ecx)
  stmxcsr 60(%ecx)
  fnstenv 64(%ecx)
  fninit
  cld
  movl _kestrum_host_call_esp, %esp
  fldcw 92(%ecx)
  ldmxcsr 96(%ecx)
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret

  .globl _kestrum_stub_keeps_all; _kestrum_stub_keeps_all: xorl %eax, %eax; ret
  .globl _kestrum_stub_changes_ebx; _kestrum_stub_changes_ebx: movl $1, %ebx; ret
  .globl _kestrum_stub_changes_esi; _kestrum_stub_changes_esi: movl $1, %esi; ret
  .globl _kestrum_stub_changes_edi; _kestrum_stub_changes_edi: movl $1, %edi; ret
  .globl _kestrum_stub_changes_ebp; _kestrum_stub_changes_ebp: movl $1, %ebp; ret
  .globl _kestrum_stub_pops_an_argument; _kestrum_stub_pops_an_argument: ret $4
  .globl _kestrum_stub_sets_direction; _kestrum_stub_sets_direction: std; ret
  .globl _kestrum_stub_leaves_x87_value; _kestrum_stub_leaves_x87_value: fld1; ret
  .globl _kestrum_stub_sets_x87_precision; _kestrum_stub_sets_x87_precision: subl $4, %esp
  fnstcw (%esp); xorl $0x0200, (%esp); fldcw (%esp); addl $4, %esp; ret
  .globl _kestrum_stub_sets_sse_rounding; _kestrum_stub_sets_sse_rounding: subl $4, %esp
  stmxcsr (%esp); xorl $0x2000, (%esp); ldmxcsr (%esp); addl $4, %esp; ret
)");

namespace kestrum::test {
namespace {

constexpr uint32_t kDefaultX87 = 0x037F;  // 64-bit precision, round to nearest, all masked
constexpr uint32_t kX87Single = 0x007F;   // precision control 00: 24 bits
constexpr uint32_t kDefaultMxcsr = 0x1F80;
constexpr uint32_t kMxcsrZeroFtzDaz = 0x1F80 | 0x6000 | 0x8000 | 0x0040;
constexpr uint32_t kDirectionFlag = 0x400;

const char* const kExportNames[] = {"kestrum_100", "kestrum_Init", "kestrum_Release",
                                    "kestrum_Test", "jpg_recode_api"};

uint32_t word(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

// What a call did that a cdecl callee must not, one word per rule, "" when nothing.
std::string broken_rules(const HostCall& c) {
  std::string broken;
  const auto rule = [&broken](bool kept, const char* name) {
    if (!kept) broken += std::string(broken.empty() ? "" : " ") + name;
  };
  rule(c.esp_at_call % 16 == c.esp_mod16, "alignment");  // the thunk's own
  rule(c.esp_after == c.esp_at_call, "esp");
  rule(c.ebx == 0x0B0B0B0Bu, "ebx");
  rule(c.esi == 0x51515151u, "esi");
  rule(c.edi == 0xD1D1D1D1u, "edi");
  rule(c.ebp == 0xBFBFBFBFu, "ebp");
  rule((c.eflags & kDirectionFlag) == 0, "direction");
  rule((c.x87_env[0] & 0xFFFF) == c.x87_control_in, "x87-control");
  rule((c.x87_env[2] & 0xFFFF) == 0xFFFF, "x87-stack");  // every register tagged empty
  // The control bits; the exception flags (bits 0 to 5) are sticky and any arithmetic sets them.
  rule((c.mxcsr_after & ~0x3Fu) == c.mxcsr_in, "mxcsr");
  return broken;
}

// Calls function through the thunk with args at ESP % 16 = esp_mod16 under the host's modes.
HostCall host_call(uint32_t function, std::array<uint32_t, 3> args, uint32_t esp_mod16,
                   uint32_t x87_control, uint32_t mxcsr) {
  HostCall c{};
  c.function = function;
  for (size_t i = 0; i < 3; ++i) c.args[i] = args[i];
  c.esp_mod16 = esp_mod16;
  c.x87_control_in = x87_control;
  c.mxcsr_in = mxcsr;
  kestrum_host_call(&c);
  return c;
}

class DllHost : public ::testing::Test {
 protected:
  void SetUp() override {
    // By name, as a host finds it beside its program.
    lib_ = LoadLibraryA("kestrumEx.dll");
    ASSERT_NE(lib_, nullptr) << GetLastError();
    for (size_t i = 0; i < 5; ++i) {
      const FARPROC by_name = GetProcAddress(lib_, kExportNames[i]);
      ASSERT_NE(by_name, nullptr) << kExportNames[i];
      ASSERT_EQ(GetProcAddress(lib_, MAKEINTRESOURCEA(i + 1)), by_name) << kExportNames[i];
      exports_[i] = word(reinterpret_cast<const void*>(by_name));
    }
  }
  void TearDown() override {
    if (lib_ != nullptr) FreeLibrary(lib_);
  }

  // Calls export ordinal (1..5) through the thunk, checks everything the callee must keep and
  // returns EAX.
  uint32_t call(int ordinal, std::array<uint32_t, 3> args, uint32_t esp_mod16,
                uint32_t x87_control = kDefaultX87, uint32_t mxcsr = kDefaultMxcsr) {
    const HostCall c =
        host_call(exports_[static_cast<size_t>(ordinal - 1)], args, esp_mod16, x87_control, mxcsr);
    EXPECT_EQ(broken_rules(c), "") << kExportNames[ordinal - 1] << " at ESP % 16 = " << esp_mod16;
    return c.result;
  }

  HMODULE lib_ = nullptr;
  std::array<uint32_t, 5> exports_{};
};

constexpr uint32_t kAlignments[] = {0, 4, 8, 12};

// The checks are worth something only if they fail: each stub breaks one rule and is caught for
// that rule alone, at each alignment and under each mode; the host's state is back afterwards.
TEST(HostThunk, SeesEachBrokenRule) {
  const struct {
    void (*function)();
    const char* broken;
  } kStubs[] = {
      {kestrum_stub_keeps_all, ""},
      {kestrum_stub_changes_ebx, "ebx"},
      {kestrum_stub_changes_esi, "esi"},
      {kestrum_stub_changes_edi, "edi"},
      {kestrum_stub_changes_ebp, "ebp"},
      {kestrum_stub_pops_an_argument, "esp"},
      {kestrum_stub_sets_direction, "direction"},
      {kestrum_stub_leaves_x87_value, "x87-stack"},
      {kestrum_stub_sets_x87_precision, "x87-control"},
      {kestrum_stub_sets_sse_rounding, "mxcsr"},
  };
  for (const auto& stub : kStubs) {
    for (const uint32_t a : kAlignments) {
      for (const auto& [x87, mxcsr] :
           {std::pair{kDefaultX87, kDefaultMxcsr}, std::pair{kX87Single, kMxcsrZeroFtzDaz}}) {
        const uint32_t function = word(reinterpret_cast<const void*>(stub.function));
        EXPECT_EQ(broken_rules(host_call(function, {0, 0, 0}, a, x87, mxcsr)), stub.broken)
            << " at ESP % 16 = " << a;
        uint16_t control = 0;
        asm volatile("fnstcw %0" : "=m"(control));
        EXPECT_EQ(control, kDefaultX87);
      }
    }
  }
}

TEST_F(DllHost, EveryExportAtEveryStackAlignment) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.path("p.jpg"), test_image_set().front().jpeg));
  const std::string source = dir.path("p.jpg"), destination = dir.path("out.jpg");
  for (const uint32_t a : kAlignments) {
    const uint32_t handle = call(2, {word("KE_100"), 0, 0}, a);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(call(2, {word("KE_101"), 0, 0}, a), 0u);
    EXPECT_EQ(call(4, {0, 0, 0}, a), 0u);
    EXPECT_EQ(call(1, {handle, word(source.c_str()), 70}, a), 1u);
    EXPECT_EQ(call(1, {0, word(source.c_str()), 70}, a), 0u);
    EXPECT_EQ(call(5, {word(source.c_str()), word(destination.c_str()), 50}, a), 0u);
    EXPECT_EQ(call(5, {word(dir.path("absent.jpg").c_str()), word(destination.c_str()), 50}, a),
              static_cast<uint32_t>(-1));
    EXPECT_EQ(call(3, {handle, 0, 0}, a), 1u);
    EXPECT_EQ(call(3, {0, 0, 0}, a), 0u);
  }
  EXPECT_TRUE(file_exists(dir.path("p_70.jpg")));
}

struct HostModes {
  const char* name;
  uint32_t x87_control;
  uint32_t mxcsr;
};
class DllHostModes : public DllHost, public ::testing::WithParamInterface<HostModes> {};

// Every kind of source the tests make (broken ones included): the status and the bytes of each
// recode equal the default modes' run, at each alignment.
TEST_P(DllHostModes, SameBytesAsTheDefaultModes) {
  TempDir dir;
  const std::vector<NamedImage> images = test_image_set();
  for (size_t i = 0; i < images.size(); ++i) {
    const std::string source = dir.path(std::to_string(i) + ".jpg");
    ASSERT_TRUE(write_file(source, images[i].jpeg));
    const std::string expected_path = dir.path(std::to_string(i) + "_default.jpg");
    const uint32_t expected_status =
        call(5, {word(source.c_str()), word(expected_path.c_str()), 85}, 0);
    Bytes expected;
    const bool has_expected = read_file(expected_path, &expected);
    EXPECT_EQ(has_expected, expected_status == 0) << images[i].name;
    const uint32_t alignment = kAlignments[i % 4];
    const std::string path = dir.path(std::to_string(i) + "_modes.jpg");
    EXPECT_EQ(call(5, {word(source.c_str()), word(path.c_str()), 85}, alignment,
                   GetParam().x87_control, GetParam().mxcsr),
              expected_status)
        << images[i].name;
    Bytes got;
    EXPECT_EQ(read_file(path, &got), has_expected) << images[i].name;
    EXPECT_TRUE(got == expected) << images[i].name;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, DllHostModes,
                         ::testing::Values(HostModes{"x87_single", kX87Single, kDefaultMxcsr},
                                           HostModes{"sse_toward_zero_ftz_daz", kDefaultX87,
                                                     kMxcsrZeroFtzDaz},
                                           HostModes{"both", kX87Single, kMxcsrZeroFtzDaz}),
                         ParamName());

}  // namespace
}  // namespace kestrum::test
