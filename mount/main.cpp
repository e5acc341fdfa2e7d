#include "mount/run_mount.h"

int main(int argc, char** argv) {
    qev::Console console = qev::processConsole();
    return qev::mount::runMount(argc, argv, console);
}
