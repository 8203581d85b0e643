// dvrcore::Start: the ordered start-up, the queue worker, and the ordered shutdown.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <future>
#include <memory>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/system_error.hpp>

#include "core/dvrcore.h"
#include "core/privileges.h"
#include "core/version.h"
#include "events/event_callback.h"
#include "plugins/plugin_info.h"
#include "plugins/plugin_shutdown.h"

namespace {

// Sleeps the whole duration, going on after a signal interrupts it.
void SleepFully(time_t seconds)
{
    timespec left{seconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

constexpr time_t LINGER_SECONDS = 60;

} // namespace

std::string dvrcore::ExeDir() const
{
    size_t slash = exePath.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : exePath.substr(0, slash);
}

void dvrcore::WaitForIoThread()
{
    if (!ioThreadRunning)
        return;
    std::promise<void> reached;
    boost::asio::post(ioContext, [&reached] { reached.set_value(); });
    reached.get_future().wait();
}

void dvrcore::Start()
{
    productVersion = dvr::coreVersion;
    plugins.Clear();

    // The stop signals are taken by the I/O thread alone: this thread blocks them, so every thread
    // started from here on (plugin threads included) has them blocked too, and the I/O thread
    // unblocks them for itself. A signal then always lands in the I/O thread's reactor wait rather
    // than in some plugin thread's blocking call, and one sent before the I/O thread runs stays
    // pending until it does.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int stopSignal : {SIGINT, SIGTERM, SIGQUIT})
        sigaddset(&stopSignals, stopSignal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // The first of these signals requests the stop; the set keeps catching later ones, so a second
    // Ctrl-C during a long shutdown does not kill the process.
    boost::asio::signal_set signals(ioContext);
    signals.add(SIGINT);
    signals.add(SIGTERM);
    signals.add(SIGQUIT);
    signals.async_wait([this](const boost::system::error_code&, int) { RequestStop(); });

    LoadConfiguration();
    LoadPlugins();
    if (parentLinkOpen.load())
        StartParentReceive();

    // The I/O thread runs until the context is stopped below, even between pieces of work.
    auto keepRunning = boost::asio::make_work_guard(ioContext);
    std::thread ioThread([this, stopSignals] {
        pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
        boost::system::error_code error;
        ioContext.run(error);
        if (error)
            throw boost::system::system_error(error, "run");
    });
    ioThreadRunning = true;

    if (parentLinkOpen.load())
        WaitForParentParameters();
    OpenPlugins();
    if (getuid() != 0)
        dvr::SetCapabilities(0x3000, EventCallback);
    StartReadThreads();
    StartMonitor();
    SaveConfiguration();
    Log(dvr::LOG_INFO, "successfully started core version %s", productVersion.c_str());

    RunQueueWorker();

    Log(dvr::LOG_INFO, "stopping core version %s...", productVersion.c_str());
    boost::asio::post(ioContext, [this] { monitorTimer.cancel(); }); // the timer belongs to the I/O thread
    if (lingerBeforeUnload.load())
        SleepFully(LINGER_SECONDS);
    UnloadFirstPlugin();

    // The shutdown logger: a private load of the log plugin that writes the progress lines while
    // every other plugin, the regular log plugin among them, is closed and unloaded.
    // Shared with its Close and Unload calls, so a call that never returns keeps it alive.
    auto shutdownLogger = std::make_shared<PluginInfo>(ExeDir() + "/plugins/LogPI.so", NullEventSink, nullptr);
    if (shutdownLogger->handle != nullptr)
        shutdownLogger->Open(1);
    ClosePlugins(*shutdownLogger);

    keepRunning.reset();
    ioContext.stop();
    ioThread.join();
    ioThreadRunning = false;
    ReleaseParentSendQueue();

    UnloadPlugins(*shutdownLogger);
    shutdownLogger->Log(dvr::LOG_FAILURE, "Plugins unloaded");
    if (shutdownLogger->handle != nullptr &&
        dvr::CallWithinWait(*this, shutdownLogger->name, "Close", "left loaded without Unload",
                            [shutdownLogger] { shutdownLogger->Close(); }))
        dvr::CallWithinWait(*this, shutdownLogger->name, "Unload", "left mapped",
                            [shutdownLogger] { shutdownLogger->Unload(); });
}
