// Shared set-up of the port-layer tests: a clean registry, a fast clock, and
// ports on scripted devices or on a pseudo-terminal.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/dev_script.h"
#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "ports/ports.h"

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryClear();
    plat::SetClock(0, 50.0);  // the 500 ms write timeout lasts 10 ms
  }
  void TearDown() override {
    for (const std::string& id : scripted_) plat::ScriptedPort::Remove(id);
    if (master_ >= 0) close(master_);
    plat::RegistryClear();
    plat::SetClock(0, 1.0);
  }
  // A scripted device behind `portName`.
  std::shared_ptr<plat::ScriptedPort> Script(const std::u16string& portName) {
    std::string id = plat::ToUtf8(portName);
    auto port = plat::ScriptedPort::Create(id);
    scripted_.push_back(id);
    plat::MapDevice(portName, "script:" + id);
    return port;
  }
  // "COM1:" on a fresh pseudo-terminal; returns the slave's path.
  std::string PseudoTerminal(const std::u16string& portName = u"COM1:") {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    EXPECT_EQ(grantpt(master_), 0);
    EXPECT_EQ(unlockpt(master_), 0);
    std::string path = ptsname(master_);
    plat::MapDevice(portName, "tty:" + path);
    return path;
  }
  static void SetNvp(const char16_t* name, DWORD value) {
    plat::RegistrySetDword(u"Drivers\\BuiltIn\\NVP", name, value);
  }
  int master_ = -1;
  std::vector<std::string> scripted_;
};
