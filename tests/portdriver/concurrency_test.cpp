// Applications asking for status, resets and stops while a job writes and the
// monitor polls: no deadlock, the job's data whole and in order, and nothing
// left allocated once everything is closed.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/devices.h"
#include "tests/portdriver/monitor_fixture.h"

namespace pdtest {
namespace {

class ConcurrencyTest : public MonitorTest {};

Bytes JobBlock(int k) {
  Bytes block(64, 0x55);
  block[0] = 0xF0;
  block[1] = static_cast<uint8_t>(k);
  block[2] = static_cast<uint8_t>(k >> 8);
  return block;
}

TEST_F(ConcurrencyTest, ApplicationsBesideAPrintJob) {
  lpt1->SetAutoReply(kStatusRequestBytes, {0x80});
  // The current-port record is allocated once, at the first new open.
  ClosePort(OpenPort(u"COM2:"));
  const int64_t liveBefore = plat::LiveAllocations();

  constexpr int kBlocks = 150;
  std::atomic<bool> jobDone{false};
  std::thread job([&] {
    const uint8_t index = OpenPort(u"LPT1:", NVP_OPEN);
    ASSERT_NE(index, 0);
    Io(NVP_SET_JOBACTIVE | index, nullptr, 0, nullptr, 0, nullptr);
    for (int k = 0; k < kBlocks; ++k) {
      const Bytes block = JobBlock(k);
      EXPECT_TRUE(Io(NVP_WRITE | index, block.data(), static_cast<DWORD>(block.size()), nullptr, 0, nullptr));
      Io(NVP_CHECK_STATUS | index, nullptr, 0, nullptr, 0, nullptr);
      if (k % 16 == 0) Sleep(5);
    }
    Io(NVP_CLEAR_JOBACTIVE | index, nullptr, 0, nullptr, 0, nullptr);
    EXPECT_TRUE(ClosePort(index));
    jobDone = true;
  });

  auto application = [&](int which) {
    std::u16string lpt1Name = u"LPT1:";
    const uint32_t address = plat::RegisterCallerBuffer(lpt1Name.data(), NameBytes(lpt1Name));
    std::u16string lpt2Name = u"LPT2:";
    const uint32_t address2 = plat::RegisterCallerBuffer(lpt2Name.data(), NameBytes(lpt2Name));
    for (int round = 0; !jobDone || round < 5; ++round) {
      switch ((round + which) % 5) {
        case 0: {
          BYTE out[64 * 10];
          DWORD returned = 0;
          Io(NVP_GET_PRINTERSTATUS, lpt1Name.c_str(), NameBytes(lpt1Name), out, sizeof out, &returned);
          break;
        }
        case 1: {
          const PortRequest req = {address, NameBytes(lpt1Name), 0, 300};
          Io(NVP_UPDATE_PRINTERSTATUS, &req, sizeof req, nullptr, 0, nullptr);
          break;
        }
        case 2: {
          const PortRequest req = {address2, NameBytes(lpt2Name), 0, 0};
          Io(NVP_RESET_PRINTER, &req, sizeof req, nullptr, 0, nullptr);
          break;
        }
        case 3:
          Io(NVP_STOP_PORTMONITOR, lpt1Name.c_str(), NameBytes(lpt1Name), nullptr, 0, nullptr);
          break;
        default: {
          BYTE position = 0;
          Io(NVP_GET_INDEX, lpt1Name.c_str(), NameBytes(lpt1Name), &position, 1, nullptr);
          break;
        }
      }
    }
    plat::UnregisterCallerBuffer(address);
    plat::UnregisterCallerBuffer(address2);
  };
  std::thread apps[3] = {std::thread(application, 0), std::thread(application, 1), std::thread(application, 2)};
  job.join();
  for (auto& t : apps) t.join();

  // Every job block whole and in order; between blocks only the monitor's
  // and the applications' own commands.
  const Bytes written = lpt1->Written();
  size_t pos = 0;
  auto skipCommands = [&] {
    for (bool skipped = true; skipped;) {
      skipped = false;
      for (const Bytes* command : {&kStatusRequestBytes, &kResetBytes}) {
        if (written.size() - pos >= command->size() &&
            std::equal(command->begin(), command->end(), written.begin() + static_cast<long>(pos))) {
          pos += command->size();
          skipped = true;
        }
      }
    }
  };
  for (int k = 0; k < kBlocks; ++k) {
    skipCommands();
    const Bytes block = JobBlock(k);
    ASSERT_LE(pos + block.size(), written.size()) << k;
    ASSERT_TRUE(std::equal(block.begin(), block.end(), written.begin() + static_cast<long>(pos))) << k;
    pos += block.size();
  }
  skipCommands();
  EXPECT_EQ(pos, written.size());

  // Once the monitor ends, no port is left and only queued records remain.
  SyncMonitor();
  plat::SetClockSpeed(1.0);
  EXPECT_TRUE(NVP_Deinit(0));
  EXPECT_TRUE(g_mapOpenPorts.empty());
  EXPECT_EQ(lpt1->OpenNow(), 0);
  EXPECT_EQ(lpt2->OpenNow(), 0);
  EXPECT_EQ(plat::LiveAllocations() - liveBefore,
            static_cast<int64_t>(g_dequeStatusRecords.size() + g_dequeStatusHistory.size()));
  ClearStatusQueue(g_dequeStatusRecords);
  ClearStatusQueue(g_dequeStatusHistory);
  EXPECT_EQ(plat::LiveAllocations(), liveBefore);
  ASSERT_EQ(NVP_Init(nullptr, nullptr), 1u);
}

}  // namespace
}  // namespace pdtest
