#include "check/run_check.h"
#include "shell/program.h"

int main(int argc, char** argv) { return qev::runMain(argc, argv, qev::check::runCheck); }
