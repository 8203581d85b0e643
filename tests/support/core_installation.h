#pragma once

#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace dvr::test {

// A copy of the built core in a fresh folder with its own "plugins" and "protected-plugins"
// folders; the folder is also the core's working folder.
class CoreInstallation {
public:
    CoreInstallation();
    const std::string& Path() const { return directory_.Path(); }
    std::string Binary() const { return directory_ / "dvrcore"; }
    std::string operator/(const std::string& name) const { return directory_ / name; }
    // Copies a built plugin into a plugin folder, under its own name unless one is given.
    void AddPlugin(const std::string& source, const std::string& folder = "plugins", const std::string& name = "");
    // Starts the core with standard output on a terminal, so its console lines can be read.
    std::unique_ptr<ChildProcess> Start(std::vector<std::string> arguments = {},
                                        std::vector<int> inheritedFds = {}) const;

private:
    TemporaryDirectory directory_;
};

// The supervisor's end of a sequenced-packet link, and the core's end to hand over.
class ParentEnd {
public:
    ParentEnd();
    ~ParentEnd();
    ParentEnd(const ParentEnd&) = delete;
    ParentEnd& operator=(const ParentEnd&) = delete;

    int CoreDescriptor() const { return coreEnd_; }
    // Closes the core's end in this process once the core has it.
    void ReleaseCoreEnd();
    void Send(const std::vector<uint8_t>& bytes) const;
    void SendParameters(const std::string& parameters) const;
    // One packet from the core, or nothing within timeout.
    std::optional<std::vector<uint8_t>> Receive(std::chrono::milliseconds timeout) const;
    void Close();

private:
    int parentEnd_ = -1;
    int coreEnd_ = -1;
};

std::string BuiltPlugin(const std::string& name);

} // namespace dvr::test
