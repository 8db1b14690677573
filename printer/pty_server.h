// The virtual printer as a serial printer on a pseudo-terminal: what a program
// writes to the terminal reaches the printer, and the printer's status bytes
// come back on it. A printer that is busy (stalled writes, or not ready with
// busyWhenNotReady) stops taking bytes, so the terminal's buffer fills and the
// writer's own timeouts apply, as on a real serial line. Bytes written while
// the printer is unplugged are lost, as they would be on the wire.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "printer/virtual_printer.h"

namespace vprinter {

struct PtyOptions {
  // Serve returns after the first job end (ESC v 3), once the client has
  // closed the terminal; until then the printer keeps answering.
  bool stopAfterJobEnd = false;
};

class PtyServer {
 public:
  // Opens a pseudo-terminal for the printer; nullptr and *error on failure.
  static std::unique_ptr<PtyServer> Open(std::shared_ptr<VirtualPrinter> printer, PtyOptions options,
                                         std::string* error);
  ~PtyServer();  // stops serving and closes the terminal
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // The terminal's device path, for example "/dev/pts/5".
  const std::string& path() const { return path_; }

  // Serves on the calling thread until Stop(), `*stop` becoming true (checked
  // at least every 100 ms, and at once when a signal interrupts the wait), the
  // client's close after a job end with stopAfterJobEnd, or a terminal error
  // (false, *error set).
  bool Serve(const std::atomic<bool>* stop = nullptr, std::string* error = nullptr);
  // Serves on a thread of its own.
  void Start();
  // Ends serving; joins the thread Start made. Idempotent.
  void Stop();

 private:
  struct Wake;
  PtyServer() = default;

  std::shared_ptr<VirtualPrinter> printer_;
  PtyOptions options_;
  int master_ = -1;
  int slave_ = -1;  // held open so that the terminal outlives its clients
  std::shared_ptr<Wake> wake_;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex threadMu_;
};

}  // namespace vprinter
