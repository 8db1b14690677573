// The port driver as loaded, before anything was asked of it (its own
// program, so that no other test has opened a port yet).
#include <gtest/gtest.h>

#include "platform/system.h"
#include "portdriver/control_codes.h"
#include "portdriver/port_table.h"
#include "portdriver/stream_driver.h"

namespace {

TEST(FreshPortDriver, NoModelAndNoRequestsBeforeInit) {
  EXPECT_EQ(GetCurrentModelCode(), 0u);
  EXPECT_EQ(g_hStatusDataEvent, INVALID_HANDLE_VALUE);
  EXPECT_EQ(g_hStatusTimeoutEvent, INVALID_HANDLE_VALUE);
  const char16_t name[] = u"LPT1:";
  BYTE index = 0;
  SetLastError(0);
  EXPECT_FALSE(NVP_IOControl(1, NVP_OPEN_NOMONITOR, reinterpret_cast<BYTE*>(const_cast<char16_t*>(name)), sizeof name,
                             &index, 1, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(NVP_Deinit(0)) << "deinit without init";
  EXPECT_TRUE(g_mapOpenPorts.empty());
}

}  // namespace
