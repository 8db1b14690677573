// A scripted port for the port-driver tests: a device-map backend whose
// reads, writes, serial lines and printer-class answers a test controls and
// inspects. Registered under the scheme "pdfake": "COM1:"="pdfake:COM1".
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/devices.h"

namespace pdtest {

struct RtsChange {
  bool on;
  uint64_t atMs;  // stand-in time
};

// What one device does and what happened to it.
class FakeDevice {
 public:
  // A serial line starts with RTS raised, as a port the driver opens.
  explicit FakeDevice(bool serial) : serial_(serial) { dcb_.fRtsControl = RTS_CONTROL_ENABLE; }

  // Script.
  void QueueRead(std::vector<uint8_t> chunk);  // one Read returns one chunk
  void SetGone(bool gone);                     // status request fails, reads bring nothing
  void SetOpenError(DWORD error);              // CreateFileW fails with it
  void SetAcceptWrites(bool accept);           // false: writes move no bytes
  void HoldWrites(bool hold);                  // writes wait until released
  void SetDeviceId(std::string id);            // reply to 0x16000C
  // Each write of exactly `request` makes the next read return `reply`.
  void SetAutoReply(std::vector<uint8_t> request, std::vector<uint8_t> reply);

  // Inspection.
  std::vector<uint8_t> Written();
  void ClearWritten();
  std::vector<RtsChange> RtsChanges();
  int Opens();
  int Closes();
  int OpenNow();
  // Writes of exactly these bytes so far.
  int CountWrites(const std::vector<uint8_t>& bytes);
  // Tick count at the first write of exactly these bytes (0 when none).
  DWORD FirstWriteTick(const std::vector<uint8_t>& bytes);

  // Backend side.
  DWORD Open();
  BOOL Read(void* buffer, DWORD size, DWORD* read);
  BOOL Write(const void* data, DWORD size, DWORD* written);
  BOOL IoControl(DWORD code, void* out, DWORD outLen, DWORD* returned);
  BOOL GetCommState(DCB* dcb);
  BOOL SetCommState(const DCB* dcb);
  BOOL Purge(DWORD flags);
  void Close();
  bool serial() const { return serial_; }
  int Purges();
  int WriteAttempts();

 private:
  const bool serial_;
  std::mutex mu_;
  std::deque<std::vector<uint8_t>> reads_;
  std::vector<uint8_t> written_;
  std::vector<std::vector<uint8_t>> writes_;
  std::vector<DWORD> writeTicks_;
  std::vector<RtsChange> rts_;
  DCB dcb_{};
  bool gone_ = false;
  bool acceptWrites_ = true;
  bool holdWrites_ = false;
  std::condition_variable released_;
  DWORD openError_ = 0;
  std::string deviceId_;
  std::vector<uint8_t> replyTo_;
  std::vector<uint8_t> reply_;
  int opens_ = 0;
  int closes_ = 0;
  int purges_ = 0;
  int writeAttempts_ = 0;
};

// The devices of one test, by device name ("COM1:", "LPT1:" ...). Adds the
// device map entries and registers the scheme.
class FakePorts {
 public:
  FakePorts();
  ~FakePorts();
  std::shared_ptr<FakeDevice> Add(const std::u16string& deviceName, bool serial);
  std::shared_ptr<FakeDevice> Get(const std::u16string& deviceName);

 private:
  std::mutex mu_;
  std::map<std::string, std::shared_ptr<FakeDevice>> devices_;
};

}  // namespace pdtest
