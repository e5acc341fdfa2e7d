#include "shell/program.h"
#include "unpack/run_unpack.h"

int main(int argc, char** argv) { return qev::runMain(argc, argv, qev::unpack::runUnpack); }
