// The output buffer and its flush: collecting, NVP_WRITE with retries and a
// status check between attempts, settings read at every flush.
#include <gtest/gtest.h>

#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "portdriver/control_codes.h"
#include "raster/printer_context.h"
#include "tests/support/fake_port_driver.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kest_test::FakePortDriver;

class OutputBuffer : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryDeleteTree(kPortDriverKey);
    ASSERT_TRUE(fake.Registered());
    ctx = std::make_unique<PrinterContext>();
    ctx->hDevice = CreateFileW(kPortDriverDevice, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(ctx->hDevice, INVALID_HANDLE_VALUE);
    ctx->controlBase = 4;
    plat::SetClockSpeed(1000.0);
  }
  void TearDown() override {
    if (ctx->hDevice != INVALID_HANDLE_VALUE) CloseHandle(ctx->hDevice);
    ctx->hDevice = INVALID_HANDLE_VALUE;
    ctx.reset();
    plat::RegistryDeleteTree(kPortDriverKey);
    plat::SetClockSpeed(1.0);
  }
  static void Set(const char16_t* name, DWORD value) {
    ASSERT_TRUE(plat::RegistrySetDword(kPortDriverKey, name, value));
  }
  static Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
    return b;
  }

  FakePortDriver fake;
  std::unique_ptr<PrinterContext> ctx;
};

TEST_F(OutputBuffer, FullAreaIsWrittenWhenMoreArrives) {
  struct Case {
    std::vector<int32_t> appends;
    std::vector<size_t> writes;  // sizes of the blocks written
    int32_t collected;
  };
  const Case cases[] = {
      {{32768}, {}, 32768},
      {{32768, 1}, {32768}, 1},
      {{70000}, {32768, 32768}, 4464},
      {{100, 32668, 5}, {32768}, 5},
  };
  for (const Case& c : cases) {
    fake.Clear();
    ctx->outputCount = 0;
    int32_t total = 0;
    for (int32_t n : c.appends) total += n;
    const Bytes all = Pattern(static_cast<size_t>(total));
    int32_t at0 = 0;
    for (int32_t n : c.appends) {
      ASSERT_TRUE(ctx->AppendOutput(all.data() + at0, n));
      at0 += n;
    }
    const auto writes = fake.Writes();
    ASSERT_EQ(writes.size(), c.writes.size());
    size_t at = 0;
    for (size_t i = 0; i < writes.size(); ++i) {
      ASSERT_EQ(writes[i].size(), c.writes[i]);
      EXPECT_TRUE(std::equal(writes[i].begin(), writes[i].end(), all.begin() + static_cast<long>(at)));
      at += writes[i].size();
    }
    EXPECT_EQ(ctx->outputCount, c.collected);
    EXPECT_TRUE(std::equal(ctx->outputBuffer, ctx->outputBuffer + c.collected, all.begin() + static_cast<long>(at)));
    for (const auto& r : fake.Requests()) EXPECT_EQ(r.code, NVP_WRITE + 4);
  }
}

TEST_F(OutputBuffer, NullAndEmptyAppends) {
  EXPECT_FALSE(ctx->AppendOutput(nullptr, 5));
  EXPECT_FALSE(ctx->AppendOutputString(nullptr));
  EXPECT_FALSE(ctx->AppendOutput("x", -1));
  EXPECT_TRUE(ctx->AppendOutput("x", 0));
  EXPECT_EQ(ctx->outputCount, 0);
  EXPECT_TRUE(ctx->AppendOutputString(""));
  EXPECT_TRUE(ctx->AppendOutputString("\x1B\x6D"));
  EXPECT_EQ(ctx->outputCount, 2);
  // Nothing to write: no request at all.
  ctx->outputCount = 0;
  EXPECT_TRUE(ctx->FlushOutput());
  EXPECT_TRUE(fake.Requests().empty());
}

TEST_F(OutputBuffer, WriteAttemptsAndPauses) {
  struct Case {
    const char* what;
    int32_t retries;  // -1: not set
    int32_t wait;     // -1: not set
    int failWrites;   // -1: every write fails
    std::vector<DWORD> statuses;
    BOOL result;
    int writes, checks;
  };
  const Case cases[] = {
      {"written at once", -1, -1, 0, {}, TRUE, 1, 0},
      {"two failures then written", -1, -1, 2, {}, TRUE, 3, 2},
      {"failing while ready: 11 attempts, 11 pauses", -1, -1, -1, {}, FALSE, 11, 11},
      {"paper out: tried once", -1, 600000, -1, {28}, FALSE, 1, 1},
      {"not ready: tried once", -1, 600000, -1, {21}, FALSE, 1, 1},
      {"error state", -1, 600000, -1, {16000}, FALSE, 1, 1},
      {"error state and paper", -1, 600000, -1, {16001}, FALSE, 1, 1},
      {"ready twice then paper out", 5, 40, -1, {0, 0, 28}, FALSE, 3, 3},
      {"three retries, a wait of 0 counts as 1", 3, 0, -1, {}, FALSE, 3, 3},
      {"no attempt", 0, -1, -1, {}, TRUE, 0, 0},
      {"negative: no attempt", -4, -1, -1, {}, TRUE, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plat::RegistryDeleteTree(kPortDriverKey);
    if (c.retries != -1) Set(u"NumFlushRetries", static_cast<DWORD>(c.retries));
    if (c.wait != -1) Set(u"FlushRetryWait", static_cast<DWORD>(c.wait));
    fake.Clear();
    fake.FailWrites(c.failWrites);
    fake.SetStatus(0);
    fake.QueueStatus({});
    for (DWORD s : c.statuses) fake.QueueStatus({s});
    const Bytes data = Pattern(300);
    ASSERT_TRUE(ctx->AppendOutput(data.data(), 300));
    const DWORD start = GetTickCount();
    EXPECT_EQ(ctx->FlushOutput(), c.result);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(ctx->outputCount, 0);  // dropped whatever the outcome

    const auto writes = fake.RequestsOf(NVP_WRITE);
    const auto checks = fake.RequestsOf(NVP_CHECK_STATUS);
    EXPECT_EQ(static_cast<int>(writes.size()), c.writes);
    EXPECT_EQ(static_cast<int>(checks.size()), c.checks);
    for (const auto& w : writes) {
      EXPECT_EQ(w.code, 0x204u);
      EXPECT_EQ(w.input, data);
      EXPECT_EQ(w.outputLength, 0u);
    }
    int pauses = 0;
    for (const auto& k : checks) {
      EXPECT_EQ(k.code, 0x604u);
      EXPECT_EQ(k.input, (Bytes{0, 0, 0, 0}));  // the stop flag 0
      if (k.result) ++pauses;
    }
    // A pause follows every failed attempt after which the printer was ready,
    // and only those: the attempts lie that far apart on the stand-in clock.
    const DWORD wait = c.wait == -1 ? 1 : (c.wait == 0 ? 1 : static_cast<DWORD>(c.wait));
    for (size_t i = 1; i < writes.size(); ++i) EXPECT_GE(writes[i].tick - writes[i - 1].tick, wait);
    EXPECT_GE(elapsed, pauses * wait);
    if (pauses == 0) {
      EXPECT_LT(elapsed, 600000u);
    }
    fake.FailWrites(0);
  }
}

TEST_F(OutputBuffer, ClosedDeviceFailsAfterOneAttempt) {
  CloseHandle(ctx->hDevice);
  ctx->hDevice = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(ctx->AppendOutput("abc", 3));
  EXPECT_FALSE(ctx->FlushOutput());
  EXPECT_EQ(ctx->outputCount, 0);
  // A flush failing on the way makes the append report it; the chunk of that
  // step is still collected.
  const Bytes big = Pattern(32768);
  ASSERT_TRUE(ctx->AppendOutput(big.data(), 32768));
  const Bytes more = Pattern(40000);
  EXPECT_FALSE(ctx->AppendOutput(more.data(), 40000));
  EXPECT_EQ(ctx->outputCount, 32768);
  EXPECT_TRUE(std::equal(ctx->outputBuffer, ctx->outputBuffer + 32768, more.begin()));
}

// Bytes that are not raster rows pass unchanged whatever the filter setting,
// even where they look like blank lines.
TEST_F(OutputBuffer, OtherBytesPassTheFilterUnchanged) {
  Bytes data = {0x1B, 0x41, 0x1B, 0x6D, 0x00, 0x1B, 0x6D, 0x05, 0x1B, 0x6B, 0xFF, 0x1B, 0x76, 0x02};
  for (int i = 0; i < 10; ++i) data.insert(data.end(), {0x1B, 0x67, 0x00});
  data.insert(data.end(), {0x1B, 0x65, 0x01, 0x00, 0x1B, 0x67});
  for (int filter : {-1, 0, 1, 2}) {
    plat::RegistryDeleteTree(kPortDriverKey);
    if (filter >= 0) Set(u"EnablePageFilter", static_cast<DWORD>(filter));
    Set(u"CntOfDel-0-Bytes", 0);
    fake.Clear();
    ASSERT_TRUE(ctx->AppendOutput(data.data(), static_cast<int32_t>(data.size())));
    ASSERT_TRUE(ctx->FlushOutput());
    EXPECT_EQ(fake.Written(), data) << filter;
  }
}

TEST(FilterBlankLinesRoutine, DropsMarkedRowsPastTheKeptOnes) {
  // Six three-byte rows at 2..19, adjacent; then one apart at 22.
  Bytes src(30);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i);
  const BlankRowMark marks[] = {{2, 3, 1},
                                {5, 3, 0},
                                {8, 3, 0},
                                {11, 3, 0},
                                {14, 3, 0},
                                {17, 3, 0},
                                {22, 3, 0},
                                // stale ones are left alone
                                {21, 3, 0},
                                {28, 3, 0}};
  struct Case {
    int32_t keep;
    Bytes want;
  };
  auto range = [&](std::initializer_list<std::pair<int, int>> parts) {
    Bytes out;
    for (auto [a, b] : parts) out.insert(out.end(), src.begin() + a, src.begin() + b);
    return out;
  };
  const Case cases[] = {
      {0, range({{0, 5}, {20, 22}, {25, 30}})},  // the needed row stays; the lone row at 22 goes
      {-3, range({{0, 5}, {20, 22}, {25, 30}})}, {1, range({{0, 5}, {20, 30}})},
      {3, range({{0, 11}, {20, 30}})},           {6, src},
  };
  for (const Case& c : cases) {
    Bytes dst(src.size(), 0xEE);
    const int32_t n = FilterBlankLines(src.data(), 30, marks, 9, c.keep, dst.data());
    ASSERT_GE(n, 0);
    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + n), c.want) << c.keep;
  }
  uint8_t dst[1];
  EXPECT_EQ(FilterBlankLines(src.data(), 0, marks, 9, 3, dst), -1);
}

}  // namespace
