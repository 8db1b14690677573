#include "printer/backend.h"

namespace vprinter {

DWORD Backend::Open(DWORD access, DWORD disposition) { return printer_->Open(access, disposition); }

BOOL Backend::Read(void* buffer, DWORD size, DWORD* read) { return printer_->Read(buffer, size, read, &cancelled_); }

BOOL Backend::Write(const void* data, DWORD size, DWORD* written) {
  return printer_->Write(data, size, written, &cancelled_);
}

BOOL Backend::IoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) {
  return printer_->IoControl(code, in, inLen, out, outLen, returned);
}

BOOL Backend::GetCommState(DCB* dcb) { return printer_->GetCommState(dcb); }
BOOL Backend::SetCommState(const DCB* dcb) { return printer_->SetCommState(dcb); }
BOOL Backend::GetCommTimeouts(COMMTIMEOUTS* t) { return printer_->GetCommTimeouts(t); }
BOOL Backend::SetCommTimeouts(const COMMTIMEOUTS* t) { return printer_->SetCommTimeouts(t); }
BOOL Backend::Purge(DWORD flags) { return printer_->Purge(flags); }

void Backend::Cancel() {
  cancelled_ = true;
  printer_->WakeWaiters();
}

void Backend::Close() { printer_->Close(); }

std::string PrinterNameFor(const std::string& argument) { return argument.empty() ? "default" : argument; }

void RegisterScheme() {
  plat::RegisterBackendScheme(kScheme, [](const std::string& argument) -> std::shared_ptr<plat::DeviceBackend> {
    return std::make_shared<Backend>(GetOrCreate(PrinterNameFor(argument)));
  });
}

void UnregisterScheme() { plat::UnregisterBackendScheme(kScheme); }

}  // namespace vprinter
