// The virtual printer behind a port name: the device map's "virtual" scheme.
//   "LPT1:"="virtual"          the printer named "default"
//   "COM2:"="virtual:label"    the printer named "label"
// A printer that does not exist yet is made with default options when the
// port is opened; vprinter::Create beforehand chooses its options, and
// vprinter::Get afterwards shows what it received.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/devices.h"
#include "printer/virtual_printer.h"

namespace vprinter {

// One open of a port on a printer. Cancel makes its waiting calls return.
class Backend : public plat::DeviceBackend {
 public:
  explicit Backend(std::shared_ptr<VirtualPrinter> printer) : printer_(std::move(printer)) {}
  DWORD Open(DWORD access, DWORD disposition) override;
  BOOL Read(void* buffer, DWORD size, DWORD* read) override;
  BOOL Write(const void* data, DWORD size, DWORD* written) override;
  BOOL IoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) override;
  BOOL GetCommState(DCB* dcb) override;
  BOOL SetCommState(const DCB* dcb) override;
  BOOL GetCommTimeouts(COMMTIMEOUTS* t) override;
  BOOL SetCommTimeouts(const COMMTIMEOUTS* t) override;
  BOOL Purge(DWORD flags) override;
  void Cancel() override;
  void Close() override;

  const std::shared_ptr<VirtualPrinter>& printer() const { return printer_; }

 private:
  std::shared_ptr<VirtualPrinter> printer_;
  std::atomic<bool> cancelled_{false};
};

constexpr char kScheme[] = "virtual";

// Registers the "virtual" scheme with the device namespace (idempotent).
void RegisterScheme();
void UnregisterScheme();

// The printer name a scheme argument stands for: "" -> "default".
std::string PrinterNameFor(const std::string& argument);

}  // namespace vprinter
