#include "shell/program.h"
#include "mount/run_mount.h"

int main(int argc, char** argv) { return qev::runMain(argc, argv, qev::mount::runMount); }
