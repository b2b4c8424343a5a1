// tamo-install-config: run once at package installation, without arguments.
#include <cstdlib>
#include <exception>

#include "process_options.h"

int main() {
  // Every outcome of the run is in the system log and the status is 0. Only
  // running out of memory raises (a library call then fails with a status the
  // driver cannot go on from); the run stops quietly with status 1, after the
  // handles have been released.
  try {
    ProcessOptions options;
    options.processInstallConfigData();
  } catch (std::exception const&) {
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
