#include "support/core_installation.h"

#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "ipc/parent_protocol.h"

namespace dvr::test {

CoreInstallation::CoreInstallation()
{
    std::filesystem::copy_file(DVRCORE_BINARY, Binary());
    std::filesystem::create_directories(directory_ / "plugins");
    std::filesystem::create_directories(directory_ / "protected-plugins");
}

void CoreInstallation::AddPlugin(const std::string& source, const std::string& folder, const std::string& name)
{
    std::string fileName = name.empty() ? std::filesystem::path(source).filename().string() : name;
    std::filesystem::create_directories(directory_ / folder);
    std::filesystem::copy_file(source, directory_ / (folder + "/" + fileName),
                               std::filesystem::copy_options::overwrite_existing);
}

std::unique_ptr<ChildProcess> CoreInstallation::Start(std::vector<std::string> arguments,
                                                      std::vector<int> inheritedFds) const
{
    arguments.insert(arguments.begin(), Binary());
    ChildProcess::Options options;
    options.workingDirectory = Path();
    options.terminal = true;
    options.inheritedFds = std::move(inheritedFds);
    return std::make_unique<ChildProcess>(std::move(arguments), std::move(options));
}

std::string BuiltPlugin(const std::string& name)
{
    if (name == "LogPI.so")
        return DVRCORE_BUILD_DIR "/plugins/LogPI.so";
    return DVRCORE_TEST_PLUGIN_DIR "/" + name;
}

ParentEnd::ParentEnd()
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
        throw std::runtime_error("socketpair failed");
    parentEnd_ = pair[0];
    coreEnd_ = pair[1];
}

ParentEnd::~ParentEnd()
{
    Close();
    ReleaseCoreEnd();
}

void ParentEnd::ReleaseCoreEnd()
{
    if (coreEnd_ >= 0)
        close(coreEnd_);
    coreEnd_ = -1;
}

void ParentEnd::Send(const std::vector<uint8_t>& bytes) const
{
    if (send(parentEnd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("send to the core failed");
}

void ParentEnd::SendParameters(const std::string& parameters) const
{
    Send(MakeParentPacket(0, IPC_PARAMETERS, parameters.data(), parameters.size()));
}

std::optional<std::vector<uint8_t>> ParentEnd::Receive(std::chrono::milliseconds timeout) const
{
    pollfd fd{parentEnd_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(timeout.count())) <= 0)
        return std::nullopt;
    std::vector<uint8_t> packet(1 << 17);
    ssize_t n = recv(parentEnd_, packet.data(), packet.size(), 0);
    if (n <= 0)
        return std::nullopt;
    packet.resize(static_cast<size_t>(n));
    return packet;
}

void ParentEnd::Close()
{
    if (parentEnd_ >= 0)
        close(parentEnd_);
    parentEnd_ = -1;
}

} // namespace dvr::test
