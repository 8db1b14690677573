// The fake "NVP1:" itself: what other tests rely on it to do.
#include "tests/support/fake_port_driver.h"

#include <gtest/gtest.h>

#include "platform/devices.h"
#include "platform/system.h"
#include "portdriver/control_codes.h"

namespace {

using kest_test::FakePortDriver;

HANDLE Open() { return CreateFileW(kPortDriverDevice, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr); }

BOOL Call(HANDLE h, DWORD code, const void* in, DWORD inLen, uint8_t* out, DWORD outLen) {
  return DeviceIoControl(h, code, const_cast<void*>(in), inLen, out, outLen, nullptr, nullptr);
}

TEST(FakePortDriver, ScriptsAndRecords) {
  FakePortDriver fake;
  ASSERT_TRUE(fake.Registered());
  FakePortDriver second;  // only one at a time
  EXPECT_FALSE(second.Registered());

  fake.FailDeviceOpens(1);
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fake.DeviceOpens(), 1);

  fake.SetPortIndex(7);
  uint8_t index = 0;
  const char16_t name[] = u"COM1:";
  ASSERT_TRUE(Call(h, NVP_OPEN, name, sizeof name, &index, 1));
  EXPECT_EQ(index, 7);
  fake.RefuseOpen(ERROR_UNKNOWN_PORT);
  EXPECT_FALSE(Call(h, NVP_OPEN, name, sizeof name, &index, 1));
  EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PORT);

  fake.FailWrites(2, ERROR_TIMEOUT);
  const uint8_t a[] = {1, 2}, b[] = {3};
  EXPECT_FALSE(Call(h, NVP_WRITE + 7, a, 2, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  EXPECT_FALSE(Call(h, NVP_WRITE + 7, a, 2, nullptr, 0));
  EXPECT_TRUE(Call(h, NVP_WRITE + 7, a, 2, nullptr, 0));
  EXPECT_TRUE(Call(h, NVP_WRITE + 7, b, 1, nullptr, 0));
  EXPECT_EQ(fake.Written(), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(fake.Writes().size(), 2u);

  fake.SetStatus(ERROR_NOT_READY);
  fake.QueueStatus({0, ERROR_OUT_OF_PAPER, 16000, 16001});
  const DWORD stop = 0;
  const DWORD want[] = {0, ERROR_OUT_OF_PAPER, 16000, 16001, ERROR_NOT_READY, ERROR_NOT_READY};
  for (DWORD w : want) {
    const BOOL ok = Call(h, NVP_CHECK_STATUS + 7, &stop, 4, nullptr, 0);
    EXPECT_EQ(ok, w == 0 ? TRUE : FALSE);
    if (!ok) {
      EXPECT_EQ(GetLastError(), w);
    }
  }

  fake.FailFunction(NVP_SET_RTS, ERROR_GEN_FAILURE);
  EXPECT_FALSE(Call(h, NVP_SET_RTS + 7, &stop, 4, nullptr, 0));
  fake.FailFunction(NVP_SET_RTS, 0);
  EXPECT_TRUE(Call(h, NVP_SET_RTS + 7, &stop, 4, nullptr, 0));

  const auto writes = fake.RequestsOf(NVP_WRITE);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0].code, NVP_WRITE + 7);
  EXPECT_EQ(writes[0].index, 7);
  EXPECT_EQ(writes[0].input, (std::vector<uint8_t>{1, 2}));
  EXPECT_FALSE(writes[0].result);
  EXPECT_EQ(writes[0].error, ERROR_TIMEOUT);
  EXPECT_EQ(fake.Count(NVP_CHECK_STATUS), 6);
  EXPECT_EQ(fake.RequestsOf(NVP_OPEN)[0].outputLength, 1u);

  CloseHandle(h);
  EXPECT_EQ(fake.DeviceCloses(), 1);
}

}  // namespace
