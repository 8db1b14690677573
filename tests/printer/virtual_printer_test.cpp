// The virtual printer's port side, called directly: status answers, device ID,
// capture, faults, scripted state changes, RTS, waits across threads.
#include "printer/virtual_printer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/system.h"

namespace vprinter {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kStatusRequest = {0x1B, 0x6B, 0xFF};
const Bytes kJobInit = {0x1B, 0x41, 0x1B, 0x6D, 0x00, 0x1B, 0x6D, 0x05, 0x1B, 0x6B, 0xFF, 0x1B, 0x76, 0x02};
const Bytes kJobEnd = {0x1B, 0x65, 0x01, 0x00, 0x1B, 0x76, 0x03};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

BOOL WriteAll(VirtualPrinter& p, const Bytes& b, DWORD* written = nullptr) {
  DWORD w = 0;
  BOOL ok = p.Write(b.data(), static_cast<DWORD>(b.size()), &w);
  if (written) *written = w;
  return ok;
}

Bytes ReadSome(VirtualPrinter& p, DWORD max = 64) {
  Bytes buf(max);
  DWORD n = 0;
  EXPECT_TRUE(p.Read(buf.data(), max, &n));
  buf.resize(n);
  return buf;
}

class VirtualPrinterTest : public ::testing::Test {
 protected:
  void SetUp() override { plat::SetClockSpeed(1.0); }
  void TearDown() override { plat::SetClockSpeed(1.0); }
};

TEST_F(VirtualPrinterTest, StatusRequestAnsweredPerState) {
  struct Case {
    State state;
    Bytes answer;
  };
  const Case cases[] = {
      {State::Ready, {0x80}}, {State::NotReady, {0x88}},   {State::PaperOut, {0x82}},
      {State::Error, {0x84}}, {State::PaperError, {0x86}}, {State::Silent, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(StateName(c.state));
    PrinterOptions o;
    o.state = c.state;
    VirtualPrinter p(o);
    ASSERT_TRUE(WriteAll(p, kStatusRequest));
    EXPECT_EQ(ReadSome(p), c.answer);
    // Nothing more: a read with nothing waiting returns empty after its timeout.
    EXPECT_EQ(ReadSome(p), Bytes{});
    // Two requests in one write, two answers.
    ASSERT_TRUE(WriteAll(p, Cat({kStatusRequest, kStatusRequest})));
    Bytes two = c.answer;
    two.insert(two.end(), c.answer.begin(), c.answer.end());
    EXPECT_EQ(ReadSome(p), two);
    EXPECT_EQ(p.StatusAnswers(), c.answer.empty() ? 0u : 3u);
  }
}

TEST_F(VirtualPrinterTest, StateNamesRoundTrip) {
  for (State s : {State::Ready, State::NotReady, State::PaperOut, State::Error, State::PaperError, State::Silent}) {
    State back{};
    ASSERT_TRUE(ParseState(StateName(s), &back));
    EXPECT_EQ(back, s);
  }
  EXPECT_FALSE(ParseState("Ready", nullptr));
  EXPECT_FALSE(ParseState("", nullptr));
}

std::string DeviceId(VirtualPrinter& p, DWORD outLen = 256, BOOL* okOut = nullptr) {
  std::string buf(outLen, '\xEE');
  DWORD n = 12345;
  BOOL ok = p.IoControl(IOCTL_PRINTER_GET_DEVICE_ID, nullptr, 0, buf.data(), outLen, &n);
  if (okOut) *okOut = ok;
  if (!ok) return "";
  buf.resize(n);
  return buf;
}

TEST_F(VirtualPrinterTest, DeviceIdCarriesTheDescription) {
  VirtualPrinter p;
  const std::string body = "MFG:Norv;MDL:Kest;DESCRIPTION:USB Printer Generic;";
  const std::string expected = std::string{'\0', static_cast<char>(body.size() + 2)} + body;
  EXPECT_EQ(DeviceId(p), expected);

  p.SetDescription("USB Printer S91 300DPI");
  std::string id = DeviceId(p);
  EXPECT_EQ(id.substr(2), "MFG:Norv;MDL:Kest;DESCRIPTION:USB Printer S91 300DPI;");
  EXPECT_EQ(static_cast<uint8_t>(id[0]) * 256 + static_cast<uint8_t>(id[1]), id.size());

  // A long description: the length field is big-endian and counts itself;
  // the reply is cut to the caller's buffer.
  p.SetDescription(std::string(300, 'x'));
  id = DeviceId(p, 1024);
  EXPECT_EQ(id.size(), 2u + 18 + 12 + 300 + 1);
  EXPECT_EQ(static_cast<uint8_t>(id[0]), (id.size() >> 8));
  EXPECT_EQ(static_cast<uint8_t>(id[1]), (id.size() & 0xFF));
  EXPECT_EQ(DeviceId(p, 256).size(), 256u);

  // Exact replies for odd device IDs, and a request that fails.
  p.SetDeviceIdReply(std::string("DES:x;MODEL:y", 13));
  EXPECT_EQ(DeviceId(p), "DES:x;MODEL:y");
  p.SetDeviceIdFails(true);
  BOOL ok = TRUE;
  DeviceId(p, 256, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

TEST_F(VirtualPrinterTest, PortStatusRequest) {
  VirtualPrinter p;
  DWORD status = 0, n = 0;
  ASSERT_TRUE(p.IoControl(IOCTL_PRINTER_GET_STATUS, nullptr, 0, &status, 4, &n));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(status, 0x18u);
  BYTE small[2];
  EXPECT_FALSE(p.IoControl(IOCTL_PRINTER_GET_STATUS, nullptr, 0, small, 2, &n));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  p.SetPortStatusFails(true);
  EXPECT_FALSE(p.IoControl(IOCTL_PRINTER_GET_STATUS, nullptr, 0, &status, 4, &n));
  p.SetPortStatusFails(false);
  EXPECT_TRUE(p.IoControl(IOCTL_PRINTER_GET_STATUS, nullptr, 0, &status, 4, &n));
  EXPECT_FALSE(p.IoControl(0x160010, nullptr, 0, &status, 4, &n));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST_F(VirtualPrinterTest, AttachmentDecidesThePortsOperations) {
  struct Case {
    Attachment attachment;
    bool serial, printerClass;
  };
  for (const Case& c : {Case{Attachment::Any, true, true}, Case{Attachment::Serial, true, false},
                        Case{Attachment::PrinterClass, false, true}}) {
    PrinterOptions o;
    o.attachment = c.attachment;
    VirtualPrinter p(o);
    DCB dcb{};
    EXPECT_EQ(p.GetCommState(&dcb), c.serial ? TRUE : FALSE);
    EXPECT_EQ(p.SetCommState(&dcb), c.serial ? TRUE : FALSE);
    EXPECT_EQ(p.Purge(PURGE_TXCLEAR), c.serial ? TRUE : FALSE);
    DWORD status = 0, n = 0;
    EXPECT_EQ(p.IoControl(IOCTL_PRINTER_GET_STATUS, nullptr, 0, &status, 4, &n), c.printerClass ? TRUE : FALSE);
    COMMTIMEOUTS t{};
    EXPECT_TRUE(p.GetCommTimeouts(&t));  // both kinds of port take timeouts
  }
}

TEST_F(VirtualPrinterTest, CaptureKeepsEveryByteInOrder) {
  VirtualPrinter p;
  const Bytes a = Cat({{0x00}, kJobInit, {0x1B, 0x67}});  // a line command cut in two writes
  const Bytes b = {0x00, 0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x02, 0x00, 0xAA};
  const Bytes junk = {0x42, 0x1B, 0x6D, 0x09};  // not commands: still kept
  ASSERT_TRUE(WriteAll(p, a));
  EXPECT_EQ(p.Printed().pendingBytes, 2u);
  ASSERT_TRUE(WriteAll(p, b));
  ASSERT_TRUE(WriteAll(p, junk));
  ASSERT_TRUE(WriteAll(p, Bytes{}));
  const Bytes all = Cat({a, b, junk});
  EXPECT_EQ(p.Captured(), all);
  EXPECT_EQ(p.BytesReceived(), all.size());
  EXPECT_FALSE(p.CaptureTruncated());
  auto writes = p.Writes();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[1].offset, a.size());
  EXPECT_EQ(writes[1].requested, b.size());
  EXPECT_EQ(writes[1].accepted, b.size());
  EXPECT_EQ(writes[3].requested, 0u);

  DecodedJob job = p.Printed();
  ASSERT_FALSE(job.ok());
  EXPECT_EQ(job.error->offset, all.size() - junk.size());
  ASSERT_EQ(job.rows(), 2u);  // the blank line in mode 5, then the data line
  EXPECT_EQ(job.bytesPerLine, 1u);
  EXPECT_EQ(job.planes[0][1], Row{0xAA});
  // The 00 opening the second write is the cut line's count, not a wake-up byte.
  EXPECT_EQ(job.Count(Command::WakeUp), 1u);
}

TEST_F(VirtualPrinterTest, CaptureIsSavedToAFile) {
  VirtualPrinter p;
  ASSERT_TRUE(WriteAll(p, Cat({{0x00, 0x1A}, kJobInit})));  // junk after a wake-up byte is kept too
  const std::string path = "/tmp/vprinter_capture_" + std::to_string(::getpid()) + ".prn";
  std::string error;
  ASSERT_TRUE(p.SaveCapture(path, &error)) << error;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  Bytes back(64);
  back.resize(std::fread(back.data(), 1, back.size(), f));
  std::fclose(f);
  std::remove(path.c_str());
  EXPECT_EQ(back, p.Captured());
  EXPECT_EQ(back.size(), 16u);
  EXPECT_FALSE(p.SaveCapture("/nonexistent-dir/c.prn", &error));
  EXPECT_NE(error.find("/nonexistent-dir/c.prn: "), std::string::npos);
}

TEST_F(VirtualPrinterTest, CaptureIsBounded) {
  PrinterOptions o;
  o.maxCaptureBytes = 5;
  VirtualPrinter p(o);
  ASSERT_TRUE(WriteAll(p, kJobInit));
  EXPECT_EQ(p.Captured(), Bytes(kJobInit.begin(), kJobInit.begin() + 5));
  EXPECT_TRUE(p.CaptureTruncated());
  EXPECT_EQ(p.BytesReceived(), kJobInit.size());
  EXPECT_EQ(p.CommandCount(Command::JobControl, 2), 1u);  // still read in full
}

TEST_F(VirtualPrinterTest, PartialWritesTakeAtMostTheLimit) {
  VirtualPrinter p;
  p.SetMaxBytesPerWrite(5);
  DWORD w = 0;
  ASSERT_TRUE(WriteAll(p, kJobInit, &w));
  EXPECT_EQ(w, 5u);
  // A caller that goes on with the rest gets everything through.
  size_t at = w;
  while (at < kJobInit.size()) {
    ASSERT_TRUE(p.Write(kJobInit.data() + at, static_cast<DWORD>(kJobInit.size() - at), &w));
    ASSERT_GT(w, 0u);
    at += w;
  }
  EXPECT_EQ(p.Captured(), kJobInit);
  EXPECT_EQ(p.Writes().size(), 3u);
  EXPECT_EQ(p.PendingReplies(), Bytes{0x80});
}

TEST_F(VirtualPrinterTest, StalledWritesEndAtTheWriteTimeout) {
  plat::SetClockSpeed(1000.0);
  VirtualPrinter p;
  COMMTIMEOUTS t{};
  t.WriteTotalTimeoutConstant = 30000;
  ASSERT_TRUE(p.SetCommTimeouts(&t));
  p.SetStallWrites(true);
  const uint64_t t0 = plat::NowMs64();
  DWORD w = 99;
  EXPECT_TRUE(WriteAll(p, kJobInit, &w));
  EXPECT_EQ(w, 0u);
  EXPECT_GE(plat::NowMs64() - t0, 30000u);
  EXPECT_TRUE(p.Captured().empty());
  ASSERT_EQ(p.Writes().size(), 1u);
  EXPECT_EQ(p.Writes()[0].accepted, 0u);
  p.SetStallWrites(false);
  EXPECT_TRUE(WriteAll(p, kJobInit, &w));
  EXPECT_EQ(w, kJobInit.size());
}

TEST_F(VirtualPrinterTest, AStallThatEndsLetsTheWaitingWriteThrough) {
  VirtualPrinter p;
  COMMTIMEOUTS t{};  // no write timeout: the write waits as long as the stall lasts
  ASSERT_TRUE(p.SetCommTimeouts(&t));
  p.SetStallWrites(true);
  std::atomic<bool> returned{false};
  DWORD w = 0;
  std::thread writer([&] {
    WriteAll(p, kJobInit, &w);
    returned = true;
  });
  // The writer cannot get through while the stall lasts.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(returned);
  p.SetStallWrites(false);
  writer.join();
  EXPECT_EQ(w, kJobInit.size());
}

TEST_F(VirtualPrinterTest, UnpluggedPrinter) {
  struct Case {
    Attachment attachment;
    DWORD writeError;
    bool readFails;
  };
  for (const Case& c :
       {Case{Attachment::Any, ERROR_SERIAL_NO_DEVICE, true}, Case{Attachment::Serial, ERROR_SERIAL_NO_DEVICE, true},
        Case{Attachment::PrinterClass, ERROR_DEVICE_NOT_CONNECTED, false}}) {
    PrinterOptions o;
    o.attachment = c.attachment;
    VirtualPrinter p(o);
    ASSERT_TRUE(WriteAll(p, kStatusRequest));
    p.Unplug();
    DWORD w = 7;
    SetLastError(0);
    EXPECT_FALSE(WriteAll(p, kJobInit, &w));
    EXPECT_EQ(w, 0u);
    EXPECT_EQ(GetLastError(), c.writeError);
    // The answer queued before is gone with the device.
    BYTE buf[8];
    DWORD n = 7;
    SetLastError(0);
    EXPECT_EQ(p.Read(buf, sizeof buf, &n), c.readFails ? FALSE : TRUE);
    EXPECT_EQ(n, 0u);
    if (c.readFails) {
      EXPECT_EQ(GetLastError(), ERROR_SERIAL_NO_DEVICE);
    }
    if (c.attachment != Attachment::Serial) {
      DWORD status = 0;
      EXPECT_FALSE(p.IoControl(IOCTL_PRINTER_GET_STATUS, nullptr, 0, &status, 4, &n));
      EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
      BYTE id[256];
      EXPECT_FALSE(p.IoControl(IOCTL_PRINTER_GET_DEVICE_ID, nullptr, 0, id, sizeof id, &n));
    }
    EXPECT_EQ(p.Open(GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(p.Captured(), kStatusRequest);
    p.Replug();
    EXPECT_EQ(p.Open(GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING), ERROR_SUCCESS);
    EXPECT_TRUE(WriteAll(p, kStatusRequest));
    EXPECT_EQ(ReadSome(p), Bytes{0x80});
  }
}

TEST_F(VirtualPrinterTest, PaperOutAfterTheFirstDocument) {
  // Two documents in one write; the printer runs out of paper when the first
  // ends and, busy from then on, takes nothing more.
  plat::SetClockSpeed(1000.0);
  PrinterOptions o;
  o.busyWhenNotReady = true;
  VirtualPrinter p(o);
  Trigger t = Trigger::AfterCommand(Command::JobControl, 3, 1, State::PaperOut);
  t.report = true;
  p.AddTrigger(t);
  const Bytes doc = Cat({kJobInit, {0x1B, 0x67, 0x00}, kJobEnd});
  const Bytes two = Cat({doc, doc});
  DWORD w = 0;
  EXPECT_TRUE(WriteAll(p, two, &w));
  EXPECT_EQ(w, doc.size());
  EXPECT_EQ(p.Captured(), doc);
  EXPECT_EQ(p.state(), State::PaperOut);
  // The answer to the job's own status request, then the report of its own.
  EXPECT_EQ(ReadSome(p), (Bytes{0x80, 0x82}));
  // Paper loaded: the rest goes through and is answered as ready.
  p.SetState(State::Ready);
  EXPECT_TRUE(p.Write(two.data() + w, static_cast<DWORD>(two.size() - w), &w));
  EXPECT_EQ(p.Captured(), two);
  EXPECT_EQ(ReadSome(p), Bytes{0x80});
}

TEST_F(VirtualPrinterTest, StateChangesAtAnExactByteOrLine) {
  {
    VirtualPrinter p;
    p.AddTrigger(Trigger::AfterBytes(10, State::NotReady));
    // The fourth ESC k FF straddles byte 10: its answer comes from the new state.
    ASSERT_TRUE(WriteAll(p, Cat({kStatusRequest, kStatusRequest, kStatusRequest, kStatusRequest, kStatusRequest})));
    EXPECT_EQ(ReadSome(p), (Bytes{0x80, 0x80, 0x80, 0x88, 0x88}));
  }
  {
    PrinterOptions o;
    o.reportStateChanges = true;
    VirtualPrinter p(o);
    p.AddTrigger(Trigger::AfterLines(2, State::Error));
    const Bytes blank = {0x1B, 0x67, 0x00};
    ASSERT_TRUE(WriteAll(p, Cat({blank, kStatusRequest, blank, kStatusRequest, blank})));
    EXPECT_EQ(ReadSome(p), (Bytes{0x80, 0x84, 0x84}));
    EXPECT_EQ(p.Printed().rows(), 3u);
  }
  {
    VirtualPrinter p;
    Trigger t = Trigger::AfterBytes(3, State::Ready);
    t.state.reset();
    t.unplug = true;
    p.AddTrigger(t);
    DWORD w = 0;
    SetLastError(0);
    EXPECT_FALSE(WriteAll(p, kJobInit, &w));
    EXPECT_EQ(w, 3u);
    EXPECT_EQ(GetLastError(), ERROR_SERIAL_NO_DEVICE);
    EXPECT_TRUE(p.unplugged());
  }
}

TEST_F(VirtualPrinterTest, RtsChangesAreRecordedAndAPulseAsksForStatus) {
  PrinterOptions o;
  o.state = State::PaperOut;
  VirtualPrinter p(o);
  DCB dcb{};
  ASSERT_TRUE(p.GetCommState(&dcb));
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
  dcb.BaudRate = 9600;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  ASSERT_TRUE(p.SetCommState(&dcb));
  EXPECT_TRUE(p.PendingReplies().empty());
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  ASSERT_TRUE(p.SetCommState(&dcb));
  EXPECT_EQ(p.PendingReplies(), Bytes{0x82});
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(p.SetCommState(&dcb));
  ASSERT_TRUE(p.SetCommState(&dcb));  // unchanged: not recorded
  auto log = p.RtsChanges();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].rtsControl, RTS_CONTROL_DISABLE);
  EXPECT_EQ(log[1].rtsControl, RTS_CONTROL_ENABLE);
  EXPECT_EQ(log[2].rtsControl, RTS_CONTROL_HANDSHAKE);
  EXPECT_LE(log[0].timeMs, log[1].timeMs);
  EXPECT_EQ(p.LineState().BaudRate, 9600u);
  EXPECT_EQ(p.StatusAnswers(), 1u);
  // Receive purge drops waiting replies.
  ASSERT_TRUE(p.Purge(PURGE_RXCLEAR));
  EXPECT_TRUE(p.PendingReplies().empty());
}

TEST_F(VirtualPrinterTest, SpontaneousBytesAndWaits) {
  VirtualPrinter p;
  COMMTIMEOUTS t{};
  t.ReadTotalTimeoutConstant = 10000;  // long: the read must end when the byte arrives
  ASSERT_TRUE(p.SetCommTimeouts(&t));
  Bytes got;
  std::thread reader([&] { got = ReadSome(p); });
  ASSERT_FALSE(p.WaitForReply(0));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  p.ReportStatus();
  reader.join();
  EXPECT_EQ(got, Bytes{0x80});

  std::thread writer([&] {
    WriteAll(p, kJobInit);
    WriteAll(p, kJobEnd);
  });
  EXPECT_TRUE(p.WaitForCommand(Command::JobControl, 3, 1, 10000));
  writer.join();
  EXPECT_FALSE(p.WaitForCommand(Command::JobControl, 3, 2, 20));

  p.SendBytes(Bytes{0x03, 0xB1});
  EXPECT_TRUE(p.WaitForReply(0));
  uint8_t buf[8];
  EXPECT_EQ(p.TakeReplies(buf, sizeof buf), 3u);  // the job's status answer, then the two
  EXPECT_EQ(buf[1], 0x03);
  EXPECT_EQ(buf[2], 0xB1);
}

TEST_F(VirtualPrinterTest, ReadWaitsTheReadTimeoutOnTheStandInClock) {
  plat::SetClockSpeed(1000.0);
  VirtualPrinter p;
  COMMTIMEOUTS t{};
  t.ReadTotalTimeoutConstant = 20000;
  ASSERT_TRUE(p.SetCommTimeouts(&t));
  const uint64_t t0 = plat::NowMs64();
  EXPECT_EQ(ReadSome(p), Bytes{});
  EXPECT_GE(plat::NowMs64() - t0, 20000u);
  // Interval MAXDWORD with zero totals: return at once.
  t = COMMTIMEOUTS{0xFFFFFFFFu, 0, 0, 0, 0};
  ASSERT_TRUE(p.SetCommTimeouts(&t));
  plat::SetClockSpeed(1.0);
  EXPECT_EQ(ReadSome(p), Bytes{});
}

TEST_F(VirtualPrinterTest, CloseWakesABlockedRead) {
  VirtualPrinter p;
  COMMTIMEOUTS t{};  // no timeouts: the read waits for a byte
  ASSERT_TRUE(p.SetCommTimeouts(&t));
  ASSERT_EQ(p.Open(GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS), ERROR_SUCCESS);
  EXPECT_TRUE(p.IsOpen());
  std::atomic<bool> done{false};
  std::thread reader([&] {
    ReadSome(p);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(done);
  p.Close();
  reader.join();
  EXPECT_FALSE(p.IsOpen());
  EXPECT_EQ(p.OpenCount(), 1u);
  EXPECT_EQ(p.LastOpenDisposition(), static_cast<DWORD>(CREATE_ALWAYS));
}

// The monitor thread polls while another thread writes the job: every status
// request gets exactly one answer, and nothing is lost or torn.
TEST_F(VirtualPrinterTest, ConcurrentWriterAndReader) {
  VirtualPrinter p;
  constexpr int kRequests = 300;
  std::atomic<bool> stop{false};
  size_t answers = 0;
  std::thread reader([&] {
    uint8_t buf[64];
    while (!stop || answers < kRequests) {
      DWORD n = 0;
      p.Read(buf, sizeof buf, &n);
      answers += n;
      if (stop && n == 0) break;
    }
  });
  Bytes expected;
  for (int i = 0; i < kRequests; ++i) {
    const Bytes piece = Cat({kStatusRequest, {0x1B, 0x67, 0x00}});
    ASSERT_TRUE(WriteAll(p, piece));
    expected.insert(expected.end(), piece.begin(), piece.end());
  }
  stop = true;
  reader.join();
  EXPECT_EQ(answers, static_cast<size_t>(kRequests));
  EXPECT_EQ(p.Captured(), expected);
  EXPECT_EQ(p.Printed().rows(), static_cast<size_t>(kRequests));
}

TEST_F(VirtualPrinterTest, PageMarksGiveTheDecoderItsPageStarts) {
  PrinterOptions o;
  o.decoder.bytesPerLine = 2;
  VirtualPrinter p(o);
  ASSERT_TRUE(WriteAll(p, Cat({kJobInit, {0x1B, 0x6D, 0x03, 0x1B, 0x67, 0x02, 0x00, 0xF0}})));
  p.MarkPageStart();
  ASSERT_TRUE(WriteAll(p, Cat({{0x1B, 0x67, 0x00, 0x1B, 0x67, 0x02, 0x01, 0x0F}, kJobEnd})));
  DecodedJob job = p.Printed(/*finish=*/true);
  ASSERT_TRUE(job.ok()) << job.error->ToString();
  EXPECT_EQ(job.planes[0], (std::vector<Row>{{0xF0, 0}, {0, 0}, {0, 0x0F}}));
  EXPECT_EQ(job.pageStartRows, (std::vector<size_t>{0, 1}));

  p.ClearJob();
  EXPECT_TRUE(p.Captured().empty());
  EXPECT_EQ(p.Printed().rows(), 0u);
  EXPECT_EQ(p.CommandCount(Command::Init), 0u);
}

TEST(PrinterRegistry, NamedPrintersAreShared) {
  RemoveAll();
  EXPECT_EQ(Get("label"), nullptr);
  PrinterOptions o;
  o.description = "USB Printer L46";
  auto a = Create("label", o);
  EXPECT_EQ(Get("label"), a);
  EXPECT_EQ(GetOrCreate("label"), a);
  auto d = GetOrCreate();
  EXPECT_EQ(Get("default"), d);
  EXPECT_NE(d, a);
  auto b = Create("label");  // replaces
  EXPECT_NE(Get("label"), a);
  EXPECT_EQ(Get("label"), b);
  Remove("label");
  EXPECT_EQ(Get("label"), nullptr);
  RemoveAll();
  EXPECT_EQ(Get("default"), nullptr);
}

}  // namespace
}  // namespace vprinter
