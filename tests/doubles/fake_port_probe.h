// Serial ports present and free, by number; records which numbers were probed.
#pragma once

#include <set>
#include <utility>
#include <vector>

#include "devices/port_probe.h"

namespace ordane::test {

class FakePortProbe final : public PortProbe {
  public:
    FakePortProbe() = default;
    explicit FakePortProbe(std::set<int> present) : present_(std::move(present)) {}

    bool CanOpen(int portNumber) override {
        probed_.push_back(portNumber);
        return present_.count(portNumber) != 0;
    }
    std::vector<int> NamedPorts() override { return {present_.begin(), present_.end()}; }
    void SetPresent(std::set<int> present) { present_ = std::move(present); }
    const std::vector<int>& Probed() const { return probed_; }

  private:
    std::set<int> present_;
    std::vector<int> probed_;
};

}  // namespace ordane::test
