// tarsio: the command-line host of the media engine. Makes calls (`call`), calls itself on
// built-in defaults (`loopback`), lists and tests sound devices, and reads and changes settings.
// See docs/host.md.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>

#include "tarsio/Tarsio.h"
#include "tools/CallCommand.h"
#include "tools/DeviceCommands.h"
#include "tools/LoopbackCommand.h"
#include "tools/SettingsCommand.h"

namespace {

std::atomic<bool> stopRequested{false};

void OnSignal(int) { stopRequested.store(true); }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tarsio: make, test and measure calls with the Tarsio media engine"};
  app.set_version_flag("--version", std::string("tarsio ") + TarsioVersion());
  app.require_subcommand(1);
  app.fallthrough(false);

  tarsio::host::CallCommand call;
  tarsio::host::LoopbackCommand loopback;
  tarsio::host::DeviceCommands devices;
  tarsio::host::SettingsCommand settings;
  call.AddTo(app);
  loopback.AddTo(app);
  devices.AddTo(app);
  settings.AddTo(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  InstallSignalHandlers();
  if (call.Selected()) return call.Run(stopRequested);
  if (loopback.Selected()) return loopback.Run(stopRequested);
  if (devices.Selected()) return devices.Run();
  if (settings.Selected()) return settings.Run();
  return 2;
}
