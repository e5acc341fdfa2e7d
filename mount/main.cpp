#include "mount/run_mount.h"
#include "shell/program.h"

int main(int argc, char** argv) { return qev::runMain(argc, argv, qev::mount::runMount); }
